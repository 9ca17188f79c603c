// Any bytes as an encrypted network. The first byte moves the length the
// decryptor is told away from the true one, as a damaged entry would.
#include <cstddef>
#include <cstdint>
#include <istream>
#include <sstream>
#include <string>
#include <vector>

#include "model/decryptor.h"
#include "model/package_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto skew = static_cast<int8_t>(data[0]);
  const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  crypto::ChachaDecryptor decryptor(
      std::vector<unsigned char>(veltrano::kPackageKey.begin(), veltrano::kPackageKey.end()),
      veltrano::package::kChunkSize);
  std::istringstream in(stream);
  std::ostringstream out;
  try {
    decryptor.Decrypt(in, static_cast<std::streamoff>(stream.size()) + skew, out);
  } catch (const char*) {
  }
  return 0;
}
