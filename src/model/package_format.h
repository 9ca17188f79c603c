// Constants of the model package layout and of the encrypted network streams,
// shared by the reader (DNNModel, ChachaDecryptor) and the writer so the two
// cannot drift apart.
#ifndef KESHOCR_MODEL_PACKAGE_FORMAT_H_
#define KESHOCR_MODEL_PACKAGE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace veltrano {
namespace package {

// The first bytes of every package select its layout. Neither is terminated.
inline constexpr size_t kMagicSize = 11;
// Layout 0: the magic, a raw 16-byte task name, the configuration, networks.
inline constexpr std::string_view kLegacyMagic = "QXMODELLOAD";
// Layout 1: the magic, a length-prefixed JSON header, the configuration,
// networks.
inline constexpr std::string_view kJsonMagic = "QX-DNNMODEL";
static_assert(kLegacyMagic.size() == kMagicSize && kJsonMagic.size() == kMagicSize);

// Every integer in a package is an unsigned 64-bit little-endian value.
inline constexpr size_t kLengthSize = 8;
// The legacy task name field is stored whole, NUL padding included.
inline constexpr size_t kLegacyTaskNameSize = 16;
inline constexpr size_t kLegacyConfigOffset = kMagicSize + kLegacyTaskNameSize;  // 27
inline constexpr size_t kJsonHeaderOffset = kMagicSize + kLengthSize;            // 19

// Members of the JSON header, in the order the reader takes them.
inline constexpr const char* kTaskNameKey = "task_name";
inline constexpr const char* kVersionKey = "version";
inline constexpr const char* kCreateTimeKey = "create_time";
inline constexpr const char* kTaskTypeKey = "task_type";

// Encrypted networks are cut into chunks of this many plaintext bytes; the
// reader finds chunk boundaries by counting, so every chunk but the last must
// be full.
inline constexpr int32_t kChunkSize = 4096;
// Sizes fixed by libsodium's crypto_secretstream_xchacha20poly1305 (checked
// against its headers where the stream is built and read).
inline constexpr size_t kStreamHeaderSize = 24;
inline constexpr size_t kChunkOverhead = 17;
inline constexpr size_t kKeySize = 32;

}  // namespace package

// The text every package is encrypted with. It is used as it is written, not
// base64-decoded: its first 32 character codes are the key bytes, so its last
// 12 characters do not matter.
inline constexpr std::string_view kPackageKey = "Zq3mT8vLw1NcR0pYbE6uKd2sHjF9aGxV4tQyWo7iPkU=";
static_assert(kPackageKey.size() >= package::kKeySize);

}  // namespace veltrano

#endif  // KESHOCR_MODEL_PACKAGE_FORMAT_H_
