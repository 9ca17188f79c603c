#include "model/dnn_model.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "model/decryptor.h"
#include "model/md5.h"
#include "model/package_format.h"

namespace veltrano {

struct DNNModel::Impl {
  struct NetworkEntry {
    std::string name;        // stored for tools; the system addresses networks by position
    std::vector<char> data;  // still encrypted
  };

  std::vector<NetworkEntry> networks;
  std::string task_name;
  std::string version;
  std::string create_time;
  std::string task_type;
  std::string config;
  std::string md5;

  int Parse(const char* data, size_t size);
  int ParseLayout(const char* data, size_t size);
  bool ParseJsonHeader(const char* text, size_t size);
};

namespace {

constexpr int kOk = 0;
constexpr int kMalformed = 2;
constexpr int kNoSuchNetwork = 4;
constexpr int kCannotOpen = 5;

// Walks a package front to back. Every length in a package comes from the
// file, so each is compared with the bytes that remain instead of being
// added to the position: a length near 2^64 must not wrap around into a
// "fits" answer.
class Cursor {
 public:
  Cursor(const char* data, size_t size, size_t position) : data_(data), size_(size), position_(position) {}

  bool AtEnd() const { return position_ >= size_; }

  bool ReadLength(uint64_t& value) {
    if (Remaining() < package::kLengthSize) return false;
    value = 0;
    for (size_t i = 0; i < package::kLengthSize; ++i)
      value |= uint64_t{static_cast<unsigned char>(data_[position_ + i])} << (8 * i);
    position_ += package::kLengthSize;
    return true;
  }

  bool ReadBytes(uint64_t count, const char*& begin) {
    if (count > Remaining()) return false;
    begin = data_ + position_;
    position_ += static_cast<size_t>(count);
    return true;
  }

  bool ReadString(std::string& out) {
    uint64_t length;
    const char* begin;
    if (!ReadLength(length) || !ReadBytes(length, begin)) return false;
    out.assign(begin, static_cast<size_t>(length));
    return true;
  }

 private:
  size_t Remaining() const { return AtEnd() ? 0 : size_ - position_; }

  const char* data_;
  size_t size_;
  size_t position_;
};

int CopyText(const std::string& value, std::string& out) {
  out = value;
  return kOk;
}

std::string FileMd5(const char* data, size_t size) {
  constexpr size_t kPiece = 1024;
  Md5 md5;
  for (size_t done = 0; done < size; done += kPiece) md5.Update(data + done, std::min(kPiece, size - done));
  return Md5::ToHex(md5.Finish());
}

// Lets the decryptor read an entry's bytes where they lie instead of copying
// a whole network into a string stream first.
class MemorySource : public std::streambuf {
 public:
  MemorySource(const char* data, size_t size) {
    char* begin = const_cast<char*>(data);  // never written: no put area, no putback
    setg(begin, begin, begin + size);
  }
};

// Collects the plaintext straight into the vector handed to the caller.
class VectorSink : public std::streambuf {
 public:
  explicit VectorSink(std::vector<char>& bytes) : bytes_(bytes) {}

 protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    bytes_.insert(bytes_.end(), data, data + count);
    return count;
  }
  int_type overflow(int_type ch) override {
    if (!traits_type::eq_int_type(ch, traits_type::eof())) bytes_.push_back(traits_type::to_char_type(ch));
    return traits_type::not_eof(ch);
  }

 private:
  std::vector<char>& bytes_;
};

}  // namespace

int DNNModel::Impl::Parse(const char* data, size_t size) {
  try {
    return ParseLayout(data, size);
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return kMalformed;
  }
}

bool DNNModel::Impl::ParseJsonHeader(const char* text, size_t size) {
  try {
    // Strict: one JSON value and nothing else, no comments.
    const nlohmann::json header = nlohmann::json::parse(text, text + size);
    // Each member is kept as soon as it is read, so a header that fails part
    // way leaves the earlier ones set.
    task_name = header.at(package::kTaskNameKey).get<std::string>();
    version = header.at(package::kVersionKey).get<std::string>();
    create_time = header.at(package::kCreateTimeKey).get<std::string>();
    task_type = header.at(package::kTaskTypeKey).get<std::string>();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

int DNNModel::Impl::ParseLayout(const char* data, size_t size) {
  if (size < package::kMagicSize) return kMalformed;
  const std::string_view magic(data, package::kMagicSize);

  Cursor cursor(data, size, 0);
  if (magic == package::kLegacyMagic) {
    if (size <= package::kLegacyConfigOffset) return kMalformed;
    task_name.assign(data + package::kMagicSize, package::kLegacyTaskNameSize);
    cursor = Cursor(data, size, package::kLegacyConfigOffset);
  } else if (magic == package::kJsonMagic) {
    cursor = Cursor(data, size, package::kMagicSize);
    uint64_t header_size;
    const char* header;
    if (!cursor.ReadLength(header_size) || !cursor.ReadBytes(header_size, header)) return kMalformed;
    if (!ParseJsonHeader(header, static_cast<size_t>(header_size))) return kMalformed;
  } else {
    return kMalformed;
  }

  if (!cursor.ReadString(config)) return kMalformed;
  // The fingerprint is wanted even for a package whose network list is
  // broken, so it is taken as soon as the header part has been read.
  md5 = FileMd5(data, size);

  if (cursor.AtEnd()) return kMalformed;  // a package holds at least one network
  while (!cursor.AtEnd()) {
    try {
      NetworkEntry entry;
      uint64_t data_size;
      const char* network;
      if (!cursor.ReadString(entry.name) || !cursor.ReadLength(data_size) || !cursor.ReadBytes(data_size, network))
        return kMalformed;
      entry.data.assign(network, network + data_size);
      networks.push_back(std::move(entry));
    } catch (const std::exception& e) {
      std::cout << e.what() << std::endl;
      return kMalformed;
    }
  }
  return kOk;
}

DNNModel::DNNModel() : impl_(std::make_shared<Impl>()) {}

int DNNModel::Decode(const char* path) {
  std::ifstream file;
  if (path != nullptr) file.open(path, std::ios::binary);
  if (!file.is_open()) {
    std::cout << "open Failed" << std::endl;
    return kCannotOpen;
  }
  // The file is read whole into memory, so a device, a pipe or a directory
  // (endless or no bytes) and anything beyond any real package's size are
  // refused before reading; the size is checked again while reading, in
  // case the file grows.
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error || !std::filesystem::is_regular_file(status)) {
    std::cerr << "model package " << path << " is not a regular file" << std::endl;
    return kMalformed;
  }
  const auto too_large = [path] {
    std::cerr << "model package " << path << " is larger than " << (kMaxPackageSize >> 20)
              << " MiB, the largest package this library reads" << std::endl;
    return kMalformed;
  };
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (!error && size > kMaxPackageSize) return too_large();
  std::vector<char> bytes;
  std::vector<char> block(1 << 16);
  for (;;) {
    const std::streamsize got = file.rdbuf()->sgetn(block.data(), static_cast<std::streamsize>(block.size()));
    if (got <= 0) break;
    if (bytes.size() + static_cast<size_t>(got) > kMaxPackageSize) return too_large();
    bytes.insert(bytes.end(), block.data(), block.data() + got);
  }
  return impl_->Parse(bytes.data(), bytes.size());
}

int DNNModel::DecodeBytes(const char* data, size_t size) { return impl_->Parse(data, size); }

int DNNModel::GetTaskName(std::string& out) const { return CopyText(impl_->task_name, out); }
int DNNModel::GetVersion(std::string& out) const { return CopyText(impl_->version, out); }
int DNNModel::GetCreateTime(std::string& out) const { return CopyText(impl_->create_time, out); }
int DNNModel::GetTaskType(std::string& out) const { return CopyText(impl_->task_type, out); }
int DNNModel::GetConfig(std::string& out) const { return CopyText(impl_->config, out); }
int DNNModel::GetMD5(std::string& out) const { return CopyText(impl_->md5, out); }

size_t DNNModel::GetModelCount() const { return impl_->networks.size(); }

int DNNModel::GetModel(size_t index, std::vector<char>& out) const {
  if (index >= impl_->networks.size()) return kNoSuchNetwork;
  const std::vector<char>& encrypted = impl_->networks[index].data;

  MemorySource source(encrypted.data(), encrypted.size());
  std::istream in(&source);
  std::vector<char> plain;
  VectorSink sink(plain);
  std::ostream plain_out(&sink);

  crypto::ChachaDecryptor decryptor(std::vector<unsigned char>(kPackageKey.begin(), kPackageKey.end()),
                                    package::kChunkSize);
  decryptor.Decrypt(in, static_cast<std::streamoff>(encrypted.size()), plain_out);
  out = std::move(plain);
  return kOk;
}

int DNNModel::GetModelInfo(size_t index, std::string& name, size_t& encrypted_size) const {
  if (index >= impl_->networks.size()) return kNoSuchNetwork;
  name = impl_->networks[index].name;
  encrypted_size = impl_->networks[index].data.size();
  return kOk;
}

}  // namespace veltrano
