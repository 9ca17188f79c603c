#include "model/package_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <sodium.h>

#include "model/package_format.h"

namespace veltrano {
namespace {

static_assert(crypto_secretstream_xchacha20poly1305_HEADERBYTES == package::kStreamHeaderSize);
static_assert(crypto_secretstream_xchacha20poly1305_ABYTES == package::kChunkOverhead);
static_assert(crypto_secretstream_xchacha20poly1305_KEYBYTES == package::kKeySize);

void AppendLength(std::string& out, uint64_t value) {
  for (size_t i = 0; i < package::kLengthSize; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void AppendString(std::string& out, const std::string& text) {
  AppendLength(out, text.size());
  out += text;
}

std::string JsonHeader(const PackageContents& contents) {
  // Kept in the order the reader takes the members, for people reading a
  // package in a hex dump.
  nlohmann::ordered_json header;
  header[package::kTaskNameKey] = contents.task_name;
  header[package::kVersionKey] = contents.version;
  header[package::kCreateTimeKey] = contents.create_time;
  header[package::kTaskTypeKey] = contents.task_type;
  try {
    return header.dump();
  } catch (const nlohmann::json::exception& e) {
    throw std::runtime_error(std::string("the package header texts must be UTF-8: ") + e.what());
  }
}

}  // namespace

std::string EncryptNetwork(const std::vector<char>& plaintext) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");

  const auto* key = reinterpret_cast<const unsigned char*>(kPackageKey.data());
  crypto_secretstream_xchacha20poly1305_state state;
  unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
  crypto_secretstream_xchacha20poly1305_init_push(&state, header, key);

  const size_t chunk_size = package::kChunkSize;
  const size_t chunks = std::max<size_t>(1, (plaintext.size() + chunk_size - 1) / chunk_size);
  std::string stream(reinterpret_cast<const char*>(header), sizeof header);
  stream.reserve(sizeof header + plaintext.size() + chunks * package::kChunkOverhead);

  std::vector<unsigned char> cipher(chunk_size + package::kChunkOverhead);
  const auto* plain = reinterpret_cast<const unsigned char*>(plaintext.data());
  // The reader counts bytes to find chunk boundaries, so every chunk but the
  // last is full; an empty network still gets its one (empty) final chunk.
  size_t offset = 0;
  do {
    const size_t take = std::min(chunk_size, plaintext.size() - offset);
    const bool last = offset + take == plaintext.size();
    unsigned long long cipher_size = 0;
    crypto_secretstream_xchacha20poly1305_push(
        &state, cipher.data(), &cipher_size, plain + offset, take, nullptr, 0,
        last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
    stream.append(reinterpret_cast<const char*>(cipher.data()), static_cast<size_t>(cipher_size));
    offset += take;
  } while (offset < plaintext.size());
  sodium_memzero(&state, sizeof state);
  return stream;
}

std::string SerializePackage(const PackageContents& contents, bool legacy) {
  if (contents.networks.empty()) throw std::runtime_error("a package needs at least one network");

  std::string out;
  if (legacy) {
    if (contents.task_name.size() > package::kLegacyTaskNameSize)
      throw std::runtime_error("the legacy layout holds a task name of at most " +
                               std::to_string(package::kLegacyTaskNameSize) + " bytes; \"" + contents.task_name +
                               "\" has " + std::to_string(contents.task_name.size()));
    out.append(package::kLegacyMagic);
    std::string name = contents.task_name;
    name.resize(package::kLegacyTaskNameSize, '\0');
    out += name;
  } else {
    out.append(package::kJsonMagic);
    AppendString(out, JsonHeader(contents));
  }
  AppendString(out, contents.config);
  for (const auto& [name, plaintext] : contents.networks) {
    AppendString(out, name);
    AppendString(out, EncryptNetwork(plaintext));
  }
  return out;
}

void WritePackage(const std::string& path, const PackageContents& contents, bool legacy) {
  const std::string bytes = SerializePackage(contents, legacy);

  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file.is_open()) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (file.fail()) {
    const int error = errno;
    std::remove(path.c_str());
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
  }
}

}  // namespace veltrano
