// Decryption of the networks stored in a model package: each is one
// crypto_secretstream_xchacha20poly1305 stream (a 24-byte header, then chunks
// of a fixed plaintext size plus 17 bytes of overhead, the last one shorter).
#ifndef KESHOCR_MODEL_DECRYPTOR_H_
#define KESHOCR_MODEL_DECRYPTOR_H_

#include <cstdint>
#include <ios>
#include <istream>
#include <ostream>
#include <vector>

namespace crypto {

// Failures are thrown as the message text itself (a const char*), never as a
// std::exception, so handlers for standard exceptions let them pass:
//   "libsodium init error", "incomplete header", "corrupted chunk",
//   "premature end (end of file reached before the end of the stream)".
class Decryptor {
 public:
  // `in` stands at the first byte of the stream and `total` is the stream's
  // length, header included. Plaintext goes to `out`; after a failure it holds
  // the chunks accepted before it.
  virtual void Decrypt(std::istream& in, std::streamoff total, std::ostream& out) = 0;
  virtual ~Decryptor() = default;
};

class ChachaDecryptor : public Decryptor {
 public:
  // Only the first 32 bytes of `key` are used. A shorter key or a chunk size
  // below 1 is a programming error and throws std::invalid_argument.
  ChachaDecryptor(std::vector<unsigned char> key, int32_t chunk_size);
  ~ChachaDecryptor() override;

  // A stream whose bytes end on a chunk boundary is accepted even when its
  // last chunk is not tagged final: the reader stops on the byte count.
  void Decrypt(std::istream& in, std::streamoff total, std::ostream& out) override;

 private:
  std::vector<unsigned char> key_;
  int32_t chunk_size_;
};

}  // namespace crypto

#endif  // KESHOCR_MODEL_DECRYPTOR_H_
