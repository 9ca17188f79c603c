#include "model/decryptor.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include <sodium.h>

#include "model/package_format.h"

namespace crypto {
namespace {

constexpr size_t kHeaderBytes = crypto_secretstream_xchacha20poly1305_HEADERBYTES;
constexpr size_t kOverhead = crypto_secretstream_xchacha20poly1305_ABYTES;
static_assert(kHeaderBytes == veltrano::package::kStreamHeaderSize);
static_assert(kOverhead == veltrano::package::kChunkOverhead);
static_assert(crypto_secretstream_xchacha20poly1305_KEYBYTES == veltrano::package::kKeySize);

}  // namespace

ChachaDecryptor::ChachaDecryptor(std::vector<unsigned char> key, int32_t chunk_size)
    : key_(std::move(key)), chunk_size_(chunk_size) {
  // libsodium reads 32 key bytes from whatever pointer it is given.
  if (key_.size() < crypto_secretstream_xchacha20poly1305_KEYBYTES)
    throw std::invalid_argument("ChachaDecryptor: the key needs at least 32 bytes");
  if (chunk_size_ < 1) throw std::invalid_argument("ChachaDecryptor: the chunk size must be positive");
}

ChachaDecryptor::~ChachaDecryptor() { sodium_memzero(key_.data(), key_.size()); }

void ChachaDecryptor::Decrypt(std::istream& in, std::streamoff total, std::ostream& out) {
  if (sodium_init() < 0) throw "libsodium init error";

  // A stream shorter than its header leaves zeros behind the bytes it had;
  // the first pull then finds nothing to authenticate and fails.
  unsigned char header[kHeaderBytes] = {};
  in.read(reinterpret_cast<char*>(header), sizeof header);

  crypto_secretstream_xchacha20poly1305_state state;
  if (crypto_secretstream_xchacha20poly1305_init_pull(&state, header, key_.data()) != 0)
    throw "incomplete header";

  const std::streamoff piece_size = static_cast<std::streamoff>(chunk_size_) + kOverhead;
  std::vector<unsigned char> cipher(static_cast<size_t>(piece_size));
  std::vector<unsigned char> plain(static_cast<size_t>(chunk_size_));
  std::streamoff consumed = kHeaderBytes;
  for (;;) {
    // Chunk boundaries are found by counting: every piece but the last is
    // full. Comparing before subtracting keeps a hostile `total` from
    // overflowing.
    const std::streamoff want = total > consumed ? std::min(total - consumed, piece_size) : 0;
    std::streamsize got = 0;
    if (want > 0) {
      in.read(reinterpret_cast<char*>(cipher.data()), want);
      got = in.gcount();
    }
    consumed += got;

    unsigned long long plain_size = 0;
    unsigned char tag = 0;
    // Fewer than 17 bytes, nothing at all included, never authenticate.
    if (crypto_secretstream_xchacha20poly1305_pull(&state, plain.data(), &plain_size, &tag, cipher.data(),
                                                   static_cast<unsigned long long>(got), nullptr, 0) != 0)
      throw "corrupted chunk";
    if (tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL && consumed != total)
      throw "premature end (end of file reached before the end of the stream)";
    out.write(reinterpret_cast<const char*>(plain.data()), static_cast<std::streamsize>(plain_size));
    if (consumed >= total) break;
  }
  sodium_memzero(&state, sizeof state);
}

}  // namespace crypto
