// The package reader against packages assembled byte by byte here, and the
// package writer against an independent reading of what it writes.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include "model/dnn_model.h"
#include "model/md5.h"
#include "model/package_format.h"
#include "model/package_writer.h"
#include "support/log_capture.h"
#include "support/test_paths.h"

namespace veltrano {
namespace {

using keshocr_test::ScratchDir;
using keshocr_test::StdStreamCapture;
using keshocr_test::TestDataPath;

constexpr uint64_t kMaxLength = std::numeric_limits<uint64_t>::max();

std::string Pattern(size_t size, unsigned seed = 1) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * (2 * seed + 129) + i / 253 + seed) & 0xff);
  return text;
}

std::vector<char> Bytes(const std::string& text) { return std::vector<char>(text.begin(), text.end()); }

// A secret stream made with libsodium directly rather than with the writer.
std::string Encrypt(const std::string& plain) {
  if (sodium_init() < 0) throw std::runtime_error("sodium_init");
  crypto_secretstream_xchacha20poly1305_state state;
  unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
  crypto_secretstream_xchacha20poly1305_init_push(&state, header,
                                                  reinterpret_cast<const unsigned char*>(kPackageKey.data()));
  std::string stream(reinterpret_cast<char*>(header), sizeof header);
  size_t offset = 0;
  do {
    const size_t take = std::min<size_t>(4096, plain.size() - offset);
    const bool last = offset + take == plain.size();
    unsigned char cipher[4096 + crypto_secretstream_xchacha20poly1305_ABYTES];
    unsigned long long size = 0;
    crypto_secretstream_xchacha20poly1305_push(
        &state, cipher, &size, reinterpret_cast<const unsigned char*>(plain.data()) + offset, take, nullptr, 0,
        last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
    stream.append(reinterpret_cast<char*>(cipher), size);
    offset += take;
  } while (offset < plain.size());
  return stream;
}

// Assembles package bytes field by field; Offset() tells where the next
// field starts, for tests that tamper with one.
class Package {
 public:
  Package& Raw(const std::string& bytes) {
    bytes_ += bytes;
    return *this;
  }
  Package& Length(uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<char>(value >> (8 * i)));
    return *this;
  }
  Package& Text(const std::string& text) { return Length(text.size()).Raw(text); }
  Package& Entry(const std::string& name, const std::string& data) { return Text(name).Text(data); }

  size_t Offset() const { return bytes_.size(); }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

const std::string kConfig = R"({"alphabet": "0123456789"})";

std::string Header(const std::string& task_name = "ocr") {
  return R"({"task_name": ")" + task_name +
         R"(", "version": "1.2.0", "create_time": "2024-05-01T12:00:00Z", "task_type": "det", "extra": [1]})";
}

Package JsonStart(const std::string& header = Header(), const std::string& config = kConfig) {
  Package package;
  package.Raw("QX-DNNMODEL").Text(header).Text(config);
  return package;
}

Package LegacyStart(const std::string& task_name, const std::string& config = kConfig) {
  Package package;
  package.Raw("QXMODELLOAD").Raw(task_name).Text(config);
  return package;
}

// Everything the reader answers after one Decode, with what it printed.
struct Decoded {
  int code = -1;
  std::string task_name, version, create_time, task_type, config, md5;
  size_t count = 0;
  std::string out, err;
  DNNModel model;
};

Decoded ReadState(DNNModel model, int code, const StdStreamCapture& capture) {
  Decoded result;
  result.model = model;
  result.code = code;
  model.GetTaskName(result.task_name);
  model.GetVersion(result.version);
  model.GetCreateTime(result.create_time);
  model.GetTaskType(result.task_type);
  model.GetConfig(result.config);
  model.GetMD5(result.md5);
  result.count = model.GetModelCount();
  result.out = capture.Out();
  result.err = capture.Err();
  return result;
}

Decoded DecodeFile(const std::string& path) {
  DNNModel model;
  StdStreamCapture capture;
  const int code = model.Decode(path.c_str());
  return ReadState(model, code, capture);
}

std::string WriteScratch(const std::string& bytes, const std::string& name = "package.pkg") {
  const std::string path = ScratchDir("dnn_model") + "/" + name;
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

Decoded Decode(const std::string& bytes) { return DecodeFile(WriteScratch(bytes)); }

Decoded DecodeInMemory(const std::string& bytes) {
  DNNModel model;
  StdStreamCapture capture;
  const int code = model.DecodeBytes(bytes.data(), bytes.size());
  return ReadState(model, code, capture);
}

std::string Network(const DNNModel& model, size_t index) {
  std::vector<char> out;
  EXPECT_EQ(model.GetModel(index, out), 0);
  return std::string(out.begin(), out.end());
}

// ---- the two layouts --------------------------------------------------------

TEST(DNNModel, JsonLayout) {
  const std::string det = Pattern(10000), rec = Pattern(4096, 2);
  Package package = JsonStart();
  package.Entry("det.onnx", Encrypt(det)).Entry("rec.onnx", Encrypt(rec));

  const Decoded decoded = Decode(package.bytes());
  EXPECT_EQ(decoded.code, 0);
  EXPECT_EQ(decoded.task_name, "ocr");
  EXPECT_EQ(decoded.version, "1.2.0");
  EXPECT_EQ(decoded.create_time, "2024-05-01T12:00:00Z");
  EXPECT_EQ(decoded.task_type, "det");
  EXPECT_EQ(decoded.config, kConfig);
  EXPECT_EQ(decoded.md5, Md5Hex(package.bytes().data(), package.bytes().size()));
  EXPECT_EQ(decoded.out, "");
  EXPECT_EQ(decoded.err, "");
  ASSERT_EQ(decoded.count, 2u);
  EXPECT_EQ(Network(decoded.model, 0), det);
  EXPECT_EQ(Network(decoded.model, 1), rec);
  // Decrypting does not use an entry up.
  EXPECT_EQ(Network(decoded.model, 0), det);

  std::string name;
  size_t size = 0;
  EXPECT_EQ(decoded.model.GetModelInfo(1, name, size), 0);
  EXPECT_EQ(name, "rec.onnx");
  EXPECT_EQ(size, 24u + 4113);

  // Reading from memory gives the same answers.
  const Decoded in_memory = DecodeInMemory(package.bytes());
  EXPECT_EQ(in_memory.code, 0);
  EXPECT_EQ(in_memory.md5, decoded.md5);
  EXPECT_EQ(in_memory.task_type, "det");
  EXPECT_EQ(in_memory.count, 2u);
}

TEST(DNNModel, LegacyLayoutKeepsAllSixteenNameBytes) {
  const std::string task_name("abc\0\0\0\0\0\0\0\0\0\0\0\0\0", 16);
  Package package = LegacyStart(task_name);
  package.Entry("det", Encrypt("d")).Entry("rec", Encrypt(""));

  const Decoded decoded = Decode(package.bytes());
  EXPECT_EQ(decoded.code, 0);
  EXPECT_EQ(decoded.task_name, task_name);
  EXPECT_EQ(decoded.task_name.size(), 16u);
  EXPECT_EQ(decoded.version, "");
  EXPECT_EQ(decoded.create_time, "");
  EXPECT_EQ(decoded.task_type, "");
  EXPECT_EQ(decoded.config, kConfig);
  ASSERT_EQ(decoded.count, 2u);
  EXPECT_EQ(Network(decoded.model, 0), "d");
  EXPECT_EQ(Network(decoded.model, 1), "");
}

TEST(DNNModel, CopiesShareOnePackage) {
  DNNModel model;
  const DNNModel copy = model;
  Package package = JsonStart();
  package.Entry("det", Encrypt("x"));
  StdStreamCapture capture;
  ASSERT_EQ(model.Decode(WriteScratch(package.bytes()).c_str()), 0);
  EXPECT_EQ(copy.GetModelCount(), 1u);
  std::string task_name;
  copy.GetTaskName(task_name);
  EXPECT_EQ(task_name, "ocr");
}

TEST(DNNModel, CommittedPackagesStillRead) {
  // Written by an earlier build: a changed key or layout would strand every
  // package already delivered.
  std::ifstream det_file(TestDataPath("packages/fake-det.bin"), std::ios::binary);
  std::ifstream rec_file(TestDataPath("packages/fake-rec.bin"), std::ios::binary);
  const std::string det((std::istreambuf_iterator<char>(det_file)), std::istreambuf_iterator<char>());
  const std::string rec((std::istreambuf_iterator<char>(rec_file)), std::istreambuf_iterator<char>());
  ASSERT_EQ(det.size(), 300u);
  ASSERT_EQ(rec.size(), 5000u);

  const Decoded json = DecodeFile(TestDataPath("packages/tiny-v1.pkg"));
  EXPECT_EQ(json.code, 0);
  EXPECT_EQ(json.task_name, "keshocr-test");
  EXPECT_EQ(json.task_type, "ocr");
  EXPECT_EQ(json.version, "1.0.0");
  EXPECT_EQ(json.create_time, "2024-05-01T12:00:00Z");
  EXPECT_EQ(json.md5, "6fc41978d3df42f828b7e30421b5f126");
  ASSERT_EQ(json.count, 2u);
  EXPECT_EQ(Network(json.model, 0), det);
  EXPECT_EQ(Network(json.model, 1), rec);

  const Decoded legacy = DecodeFile(TestDataPath("packages/tiny-v0.pkg"));
  EXPECT_EQ(legacy.code, 0);
  EXPECT_EQ(legacy.task_name, std::string("test\0\0\0\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(legacy.md5, "0b9ef3d0d299aba1388addc3f4ed196d");
  EXPECT_EQ(legacy.config, json.config);
  ASSERT_EQ(legacy.count, 2u);
  EXPECT_EQ(Network(legacy.model, 1), rec);
}

// ---- files that cannot be read or are too short ----------------------------

TEST(DNNModel, MissingFileIsCode5) {
  const Decoded decoded = DecodeFile(ScratchDir("dnn_model") + "/missing.pkg");
  EXPECT_EQ(decoded.code, 5);
  EXPECT_EQ(decoded.out, "open Failed\n");
  EXPECT_EQ(decoded.err, "");
  EXPECT_EQ(decoded.count, 0u);
  EXPECT_EQ(decoded.md5, "");

  DNNModel model;
  StdStreamCapture capture;
  EXPECT_EQ(model.Decode(nullptr), 5);
  EXPECT_EQ(capture.Out(), "open Failed\n");
}

// Decode reads a package whole: endless files and huge ones are refused
// before reading.
TEST(DNNModel, NonRegularAndOversizedFilesAreCode2) {
  for (const std::string& path : {std::string("/dev/zero"), ScratchDir("dnn_model")}) {
    const Decoded decoded = DecodeFile(path);
    EXPECT_EQ(decoded.code, 2) << path;
    EXPECT_EQ(decoded.err, "model package " + path + " is not a regular file\n");
    EXPECT_EQ(decoded.md5, "");
  }
  const std::string huge = WriteScratch(JsonStart().bytes(), "huge.pkg");
  std::filesystem::resize_file(huge, kMaxPackageSize + 1);  // sparse: costs no disk
  const Decoded decoded = DecodeFile(huge);
  EXPECT_EQ(decoded.code, 2);
  EXPECT_NE(decoded.err.find("is larger than 512 MiB"), std::string::npos) << decoded.err;
  std::filesystem::remove(huge);
}

TEST(DNNModel, EmptyOrShortFilesAreCode2) {
  const std::string header = Header();
  const std::vector<std::string> cases = {
      "",                                   // empty file: opens, then fails
      "QX-DNNMODE",                         // 10 bytes
      "QXMODELLOAD",                        // a magic and nothing else
      "QXMODELLOAD" + std::string(16, 'n'),  // 27 bytes: no room for the configuration
      "QXMODELLOAD" + std::string(23, 'n'),  // 34: part of its length
      "QX-DNNMODEL1234567",                 // 18 bytes: part of the header length
      Package().Raw("QX-DNNMODEL").Length(0).bytes(),  // an empty text is not JSON
      Package().Raw("QX-DNNMODEL").Length(header.size()).Raw(header.substr(0, header.size() - 1)).bytes(),
      Package().Raw("QX-DNNMODEL").Text(header).Raw("1234567").bytes(),  // part of the configuration length
      Package().Raw("QX-DNNMODEL").Text(header).Length(kConfig.size()).Raw(kConfig.substr(1)).bytes(),
  };
  for (const std::string& bytes : cases) {
    const Decoded decoded = Decode(bytes);
    EXPECT_EQ(decoded.code, 2) << bytes.size() << " bytes";
    EXPECT_EQ(decoded.out + decoded.err, "") << bytes.size() << " bytes";
    EXPECT_EQ(decoded.md5, "") << bytes.size() << " bytes";
    EXPECT_EQ(decoded.config, "") << bytes.size() << " bytes";
  }
}

TEST(DNNModel, UnknownMagicIsCode2) {
  const std::vector<std::string> magics = {"QXMODELLOAd", "QX-DNNMODEM", "qx-dnnmodel", "XQ-DNNMODEL",
                                           std::string("\0X-DNNMODEL", 11)};
  for (const std::string& magic : magics) {
    Package package;
    package.Raw(magic).Text(Header()).Text(kConfig).Entry("det", Encrypt("x"));
    const Decoded decoded = Decode(package.bytes());
    EXPECT_EQ(decoded.code, 2) << magic;
    EXPECT_EQ(decoded.task_name, "") << magic;
  }
}

// ---- the JSON header ----------------------------------------------------------

TEST(DNNModel, HeaderThatIsNotAnObjectOfStringsIsCode2Silently) {
  const std::vector<std::string> headers = {
      "not json",
      Header() + " x",                // more than one value
      "/* note */ " + Header(),       // comments are not JSON
      R"(["task_name", "version", "create_time", "task_type"])",
      R"("task_name")",
      "{\"task_name\": \"\xff\"}",    // not UTF-8
      std::string(100000, '['),       // deep nesting, unterminated
      "{}",
  };
  for (const std::string& header : headers) {
    Package package = JsonStart(header);
    package.Entry("det", Encrypt("x"));
    const Decoded decoded = Decode(package.bytes());
    EXPECT_EQ(decoded.code, 2) << header.substr(0, 40);
    EXPECT_EQ(decoded.out + decoded.err, "") << header.substr(0, 40);
    EXPECT_EQ(decoded.task_name, "") << header.substr(0, 40);
    EXPECT_EQ(decoded.config, "") << header.substr(0, 40);
  }
}

TEST(DNNModel, HeaderMembersReadBeforeAFailureAreKept) {
  // Missing "create_time": task_name and version are in.
  Package missing = JsonStart(R"({"version": "2", "task_type": "t", "task_name": "n"})");
  missing.Entry("det", Encrypt("x"));
  Decoded decoded = Decode(missing.bytes());
  EXPECT_EQ(decoded.code, 2);
  EXPECT_EQ(decoded.out + decoded.err, "");
  EXPECT_EQ(decoded.task_name, "n");
  EXPECT_EQ(decoded.version, "2");
  EXPECT_EQ(decoded.create_time, "");
  EXPECT_EQ(decoded.task_type, "");
  EXPECT_EQ(decoded.config, "");
  EXPECT_EQ(decoded.md5, "");
  EXPECT_EQ(decoded.count, 0u);

  // A version that is a number, not a string.
  Package number = JsonStart(R"({"task_name": "n", "version": 2, "create_time": "c", "task_type": "t"})");
  number.Entry("det", Encrypt("x"));
  decoded = Decode(number.bytes());
  EXPECT_EQ(decoded.code, 2);
  EXPECT_EQ(decoded.task_name, "n");
  EXPECT_EQ(decoded.version, "");
}

TEST(DNNModel, HeaderTextsArePassedOnAsTheyStand) {
  Package package = JsonStart(R"({"task_name": "a\u0000b", "version": "", "create_time": "é", "task_type": "t"})");
  package.Entry("det", Encrypt("x"));
  const Decoded decoded = Decode(package.bytes());
  EXPECT_EQ(decoded.code, 0);
  EXPECT_EQ(decoded.task_name, std::string("a\0b", 3));
  EXPECT_EQ(decoded.version, "");
  EXPECT_EQ(decoded.create_time, "\xc3\xa9");
}

// ---- the network list ---------------------------------------------------------

TEST(DNNModel, ConfigurationAtTheEndOfTheFile) {
  // No network: a failure, but the fingerprint is already there.
  const Package package = JsonStart();
  const Decoded decoded = Decode(package.bytes());
  EXPECT_EQ(decoded.code, 2);
  EXPECT_EQ(decoded.config, kConfig);
  EXPECT_EQ(decoded.task_name, "ocr");
  EXPECT_EQ(decoded.md5, Md5Hex(package.bytes().data(), package.bytes().size()));
  EXPECT_EQ(decoded.count, 0u);
}

TEST(DNNModel, GetModelOutsideTheListIsCode4AndLeavesTheVectorAlone) {
  Package package = JsonStart();
  package.Entry("det", Encrypt("only"));
  const Decoded decoded = Decode(package.bytes());
  ASSERT_EQ(decoded.code, 0);
  ASSERT_EQ(decoded.count, 1u);
  for (size_t index : {size_t{1}, size_t{4}, std::numeric_limits<size_t>::max()}) {
    std::vector<char> out = {'k', 'e', 'e', 'p'};
    EXPECT_EQ(decoded.model.GetModel(index, out), 4) << index;
    EXPECT_EQ(std::string(out.begin(), out.end()), "keep") << index;
    std::string name = "keep";
    size_t size = 7;
    EXPECT_EQ(decoded.model.GetModelInfo(index, name, size), 4);
    EXPECT_EQ(name, "keep");
    EXPECT_EQ(size, 7u);
  }
  std::vector<char> out;
  EXPECT_EQ(DNNModel().GetModel(0, out), 4);
}

TEST(DNNModel, TrailingPieceKeepsTheWholeEntriesBeforeIt) {
  Package package = JsonStart();
  package.Entry("det", Encrypt("first")).Entry("rec", Encrypt("second")).Raw("12345");
  const Decoded decoded = Decode(package.bytes());
  EXPECT_EQ(decoded.code, 2);
  EXPECT_EQ(decoded.out + decoded.err, "");
  ASSERT_EQ(decoded.count, 2u);
  EXPECT_EQ(Network(decoded.model, 0), "first");
  EXPECT_EQ(Network(decoded.model, 1), "second");
  EXPECT_EQ(decoded.md5, Md5Hex(package.bytes().data(), package.bytes().size()));
}

TEST(DNNModel, EveryCutOfAPackage) {
  // Cut at every length: only cuts between entries read as (shorter)
  // packages; everything else is code 2 with the whole entries kept.
  Package package = JsonStart();
  const size_t networks_start = package.Offset();
  package.Entry("det.onnx", Encrypt(Pattern(300)));
  const size_t first_end = package.Offset();
  package.Entry("rec.onnx", Encrypt(""));
  const std::string bytes = package.bytes();

  for (size_t length = 0; length <= bytes.size(); ++length) {
    const Decoded decoded = DecodeInMemory(bytes.substr(0, length));
    const bool whole = length == first_end || length == bytes.size();
    EXPECT_EQ(decoded.code, whole ? 0 : 2) << length;
    EXPECT_EQ(decoded.count, length < first_end ? 0u : length < bytes.size() ? 1u : 2u) << length;
    EXPECT_EQ(decoded.md5.empty(), length < networks_start) << length;
    EXPECT_EQ(decoded.out + decoded.err, "") << length;
  }
}

TEST(DNNModel, OneChangedByteChangesTheFingerprintOnly) {
  Package package = JsonStart();
  package.Entry("det", Encrypt(Pattern(100)));
  std::string altered = package.bytes();
  altered[altered.size() - 50] ^= 0x10;  // inside the network's data

  const Decoded original = Decode(package.bytes());
  const Decoded changed = Decode(altered);
  EXPECT_EQ(original.code, 0);
  EXPECT_EQ(changed.code, 0);
  EXPECT_EQ(changed.task_name, original.task_name);
  EXPECT_EQ(changed.config, original.config);
  EXPECT_EQ(changed.count, 1u);
  EXPECT_NE(changed.md5, original.md5);
  EXPECT_EQ(changed.md5, Md5Hex(altered.data(), altered.size()));

  // The damage shows when the network is decrypted, as the decryptor's
  // plain-string failure, and the caller's vector is left alone.
  std::vector<char> out = {'k'};
  EXPECT_THROW(changed.model.GetModel(0, out), const char*);
  try {
    changed.model.GetModel(0, out);
  } catch (const char* message) {
    EXPECT_STREQ(message, "corrupted chunk");
  }
  EXPECT_EQ(out, std::vector<char>{'k'});
}

TEST(DNNModel, NetworkWrittenWithAnotherKeyFailsToDecrypt) {
  std::string other_key(kPackageKey);
  other_key[0] = other_key[0] == 'A' ? 'B' : 'A';
  crypto_secretstream_xchacha20poly1305_state state;
  unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
  ASSERT_GE(sodium_init(), 0);
  crypto_secretstream_xchacha20poly1305_init_push(&state, header,
                                                  reinterpret_cast<const unsigned char*>(other_key.data()));
  unsigned char chunk[3 + crypto_secretstream_xchacha20poly1305_ABYTES];
  crypto_secretstream_xchacha20poly1305_push(&state, chunk, nullptr, reinterpret_cast<const unsigned char*>("abc"),
                                             3, nullptr, 0, crypto_secretstream_xchacha20poly1305_TAG_FINAL);
  Package package = JsonStart();
  package.Entry("det", std::string(reinterpret_cast<char*>(header), sizeof header) +
                           std::string(reinterpret_cast<char*>(chunk), sizeof chunk));
  const Decoded decoded = Decode(package.bytes());
  ASSERT_EQ(decoded.code, 0);
  std::vector<char> out;
  EXPECT_THROW(decoded.model.GetModel(0, out), const char*);
}

// ---- lengths from a hostile file ----------------------------------------------

// Values for one length field whose bytes start at `field` and whose text
// would start 8 bytes later, in a file of `size` bytes. The largest values
// make "position + 8 + length" wrap around to just before the field, where
// a naive "does it fit" check says yes; one wraps it to exactly 0; the last
// is the smallest honest length that does not fit.
std::vector<uint64_t> HostileLengths(size_t field, size_t size) {
  const uint64_t after = field + 8;
  return {kMaxLength, kMaxLength - 7, uint64_t{1} << 63, (kMaxLength - after) + 1, size - after + 1};
}

void ExpectRefused(const std::string& bytes, const std::string& what, size_t entries_kept) {
  const Decoded decoded = DecodeInMemory(bytes);
  EXPECT_EQ(decoded.code, 2) << what;
  // An allocation attempt would surface as a printed std::bad_alloc.
  EXPECT_EQ(decoded.out + decoded.err, "") << what;
  EXPECT_EQ(decoded.count, entries_kept) << what;
}

void SetLength(std::string& bytes, size_t field, uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[field + i] = static_cast<char>(value >> (8 * i));
}

TEST(DNNModel, HostileLengthsAreCode2) {
  Package package;
  package.Raw("QX-DNNMODEL");
  const size_t header_field = package.Offset();
  package.Text(Header());
  const size_t config_field = package.Offset();
  package.Text(kConfig);
  package.Entry("det", Encrypt("first"));
  const size_t name_field = package.Offset();
  package.Text("rec");
  const size_t data_field = package.Offset();
  package.Text(Encrypt("second"));
  const std::string good = package.bytes();
  ASSERT_EQ(DecodeInMemory(good).code, 0);

  const struct {
    const char* what;
    size_t field;
    size_t entries_kept;
  } fields[] = {
      {"header length", header_field, 0},
      {"configuration length", config_field, 0},
      {"network name length", name_field, 1},
      {"network data length", data_field, 1},
  };
  for (const auto& field : fields) {
    for (uint64_t value : HostileLengths(field.field, good.size())) {
      std::string bytes = good;
      SetLength(bytes, field.field, value);
      ExpectRefused(bytes, std::string(field.what) + " " + std::to_string(value), field.entries_kept);
    }
  }

  // The same in the legacy layout's configuration.
  Package legacy = LegacyStart(std::string(16, 'n'));
  legacy.Entry("det", Encrypt("x"));
  for (uint64_t value : HostileLengths(27, legacy.bytes().size())) {
    std::string bytes = legacy.bytes();
    SetLength(bytes, 27, value);
    ExpectRefused(bytes, "legacy configuration length " + std::to_string(value), 0);
  }
}

TEST(DNNModel, HostileLengthsThroughTheFile) {
  // Decode's own path, with every length at its largest.
  Package package;
  package.Raw("QX-DNNMODEL").Length(kMaxLength).Raw(Header());
  const Decoded decoded = Decode(package.bytes());
  EXPECT_EQ(decoded.code, 2);
  EXPECT_EQ(decoded.out + decoded.err, "");

  Package entry = JsonStart();
  entry.Length(kMaxLength).Raw("det");
  EXPECT_EQ(Decode(entry.bytes()).code, 2);
}

// ---- the writer ------------------------------------------------------------------

// The writer's output read without the reader: layout fields, stream sizes,
// and a chunk-by-chunk pull that checks the final tag sits on the last chunk.
struct Stream {
  std::string plain;
  size_t chunks = 0;
  bool well_formed = true;
};

Stream PullEveryChunk(const std::string& stream) {
  Stream result;
  crypto_secretstream_xchacha20poly1305_state state;
  if (stream.size() < 24 ||
      crypto_secretstream_xchacha20poly1305_init_pull(&state, reinterpret_cast<const unsigned char*>(stream.data()),
                                                      reinterpret_cast<const unsigned char*>(kPackageKey.data())) != 0)
    return Stream{"", 0, false};
  size_t offset = 24;
  while (offset < stream.size()) {
    const size_t piece = std::min<size_t>(4113, stream.size() - offset);
    unsigned char plain[4096];
    unsigned long long size = 0;
    unsigned char tag = 0;
    if (crypto_secretstream_xchacha20poly1305_pull(&state, plain, &size, &tag,
                                                   reinterpret_cast<const unsigned char*>(stream.data()) + offset,
                                                   piece, nullptr, 0) != 0)
      return Stream{"", 0, false};
    offset += piece;
    const bool last = offset == stream.size();
    if ((tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL) != last) result.well_formed = false;
    if (!last && size != 4096) result.well_formed = false;
    result.plain.append(reinterpret_cast<char*>(plain), size);
    ++result.chunks;
  }
  if (result.chunks == 0) result.well_formed = false;
  return result;
}

uint64_t LengthAt(const std::string& bytes, size_t offset) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= uint64_t{static_cast<unsigned char>(bytes[offset + i])} << (8 * i);
  return value;
}

PackageContents Contents() {
  PackageContents contents;
  contents.task_name = "ocr-task";
  contents.task_type = "ocr";
  contents.version = "3.1.4";
  contents.create_time = "2024-05-01T12:00:00Z";
  contents.config = kConfig;
  contents.networks = {{"det.onnx", Bytes(Pattern(10000))},
                       {"rec.onnx", Bytes(Pattern(4096, 2))},
                       {"empty.onnx", {}},
                       {"tiny.onnx", Bytes("t")}};
  return contents;
}

TEST(PackageWriter, JsonLayoutRoundTrip) {
  const PackageContents contents = Contents();
  const std::string path = ScratchDir("package_writer") + "/json.pkg";
  WritePackage(path, contents, false);

  const Decoded decoded = DecodeFile(path);
  EXPECT_EQ(decoded.code, 0);
  EXPECT_EQ(decoded.task_name, contents.task_name);
  EXPECT_EQ(decoded.task_type, contents.task_type);
  EXPECT_EQ(decoded.version, contents.version);
  EXPECT_EQ(decoded.create_time, contents.create_time);
  EXPECT_EQ(decoded.config, contents.config);
  ASSERT_EQ(decoded.count, contents.networks.size());
  for (size_t i = 0; i < contents.networks.size(); ++i) {
    std::vector<char> out = {'x'};
    EXPECT_EQ(decoded.model.GetModel(i, out), 0);
    EXPECT_EQ(out, contents.networks[i].second) << contents.networks[i].first;
    std::string name;
    size_t size = 0;
    decoded.model.GetModelInfo(i, name, size);
    EXPECT_EQ(name, contents.networks[i].first);
  }
}

TEST(PackageWriter, JsonLayoutOnDisk) {
  const PackageContents contents = Contents();
  const std::string bytes = SerializePackage(contents, false);
  ASSERT_EQ(bytes.substr(0, 11), "QX-DNNMODEL");
  const uint64_t header_size = LengthAt(bytes, 11);
  const auto header = nlohmann::json::parse(bytes.substr(19, header_size));
  EXPECT_EQ(header, (nlohmann::json{{"task_name", "ocr-task"},
                                    {"version", "3.1.4"},
                                    {"create_time", "2024-05-01T12:00:00Z"},
                                    {"task_type", "ocr"}}));
  size_t offset = 19 + header_size;
  ASSERT_EQ(LengthAt(bytes, offset), kConfig.size());
  EXPECT_EQ(bytes.substr(offset + 8, kConfig.size()), kConfig);
  offset += 8 + kConfig.size();

  // 10000 bytes: 3 chunks; 4096: one full final chunk; empty: one empty one.
  const size_t expected_chunks[] = {3, 1, 1, 1};
  for (size_t i = 0; i < contents.networks.size(); ++i) {
    const auto& [name, plain] = contents.networks[i];
    ASSERT_EQ(LengthAt(bytes, offset), name.size());
    EXPECT_EQ(bytes.substr(offset + 8, name.size()), name);
    offset += 8 + name.size();
    const uint64_t data_size = LengthAt(bytes, offset);
    EXPECT_EQ(data_size, 24 + plain.size() + 17 * expected_chunks[i]) << name;
    const Stream stream = PullEveryChunk(bytes.substr(offset + 8, data_size));
    EXPECT_TRUE(stream.well_formed) << name;
    EXPECT_EQ(stream.chunks, expected_chunks[i]) << name;
    EXPECT_EQ(Bytes(stream.plain), plain) << name;
    offset += 8 + data_size;
  }
  EXPECT_EQ(offset, bytes.size());
}

TEST(PackageWriter, LegacyLayoutRoundTrip) {
  PackageContents contents = Contents();
  for (const std::string& name : {std::string("abc"), std::string(16, 'z'), std::string("a\0b", 3)}) {
    contents.task_name = name;
    const std::string bytes = SerializePackage(contents, true);
    ASSERT_EQ(bytes.substr(0, 11), "QXMODELLOAD");
    std::string padded = name;
    padded.resize(16, '\0');
    EXPECT_EQ(bytes.substr(11, 16), padded);
    EXPECT_EQ(LengthAt(bytes, 27), kConfig.size());

    const std::string path = ScratchDir("package_writer") + "/legacy.pkg";
    WritePackage(path, contents, true);
    const Decoded decoded = DecodeFile(path);
    EXPECT_EQ(decoded.code, 0);
    EXPECT_EQ(decoded.task_name, padded);
    EXPECT_EQ(decoded.version, "");  // not stored in this layout
    EXPECT_EQ(decoded.config, kConfig);
    ASSERT_EQ(decoded.count, 4u);
    EXPECT_EQ(Bytes(Network(decoded.model, 0)), contents.networks[0].second);
    EXPECT_EQ(Network(decoded.model, 2), "");
  }
}

TEST(PackageWriter, EveryNetworkGetsItsOwnStreamHeader) {
  // Reusing a stream header under one key would reuse the key stream.
  const std::vector<char> plain = Bytes("same plaintext");
  const std::string a = EncryptNetwork(plain), b = EncryptNetwork(plain);
  ASSERT_EQ(a.size(), 24u + plain.size() + 17);
  EXPECT_NE(a.substr(0, 24), b.substr(0, 24));
}

TEST(PackageWriter, RefusesWhatTheLayoutCannotHold) {
  PackageContents contents = Contents();
  contents.task_name = std::string(17, 'x');
  EXPECT_THROW(SerializePackage(contents, true), std::runtime_error);
  EXPECT_NO_THROW(SerializePackage(contents, false));

  contents = Contents();
  contents.version = "\xff\xfe";  // JSON text must be UTF-8
  EXPECT_THROW(SerializePackage(contents, false), std::runtime_error);
  EXPECT_NO_THROW(SerializePackage(contents, true));  // not stored there

  contents = Contents();
  contents.networks.clear();
  EXPECT_THROW(SerializePackage(contents, false), std::runtime_error);
}

TEST(PackageWriter, FailedWriteSaysWhereAndLeavesNothing) {
  const std::string dir = ScratchDir("package_writer");
  const std::string path = dir + "/no-such-dir/out.pkg";
  try {
    WritePackage(path, Contents(), false);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
  EXPECT_FALSE(std::ifstream(path).is_open());
}

}  // namespace
}  // namespace veltrano
