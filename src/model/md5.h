// MD5 message digest (RFC 1321). Packages are identified by the MD5 of the
// whole file; it is a fingerprint for people and logs, not a security check.
#ifndef KESHOCR_MODEL_MD5_H_
#define KESHOCR_MODEL_MD5_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace veltrano {

class Md5 {
 public:
  using Digest = std::array<uint8_t, 16>;

  Md5();
  // Adds bytes to the message; pieces may have any size, empty included.
  void Update(const void* data, size_t size);
  // Pads the message and returns its digest. The object is then spent: call
  // Reset before hashing another message.
  Digest Finish();
  void Reset();

  // Two lowercase hexadecimal digits per byte, in digest order.
  static std::string ToHex(const Digest& digest);

 private:
  void Transform(const uint8_t block[64]);

  std::array<uint32_t, 4> state_;
  uint64_t length_ = 0;  // message bytes so far; the padding stores it in bits, mod 2^64
  std::array<uint8_t, 64> buffer_;
  size_t buffered_ = 0;
};

// The lowercase hexadecimal digest of one buffer.
std::string Md5Hex(const void* data, size_t size);

}  // namespace veltrano

#endif  // KESHOCR_MODEL_MD5_H_
