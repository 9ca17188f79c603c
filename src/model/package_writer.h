// Writing model packages: the counterpart of DNNModel, used by keshocr-pack
// and by tests that need packages of their own.
#ifndef KESHOCR_MODEL_PACKAGE_WRITER_H_
#define KESHOCR_MODEL_PACKAGE_WRITER_H_

#include <string>
#include <utility>
#include <vector>

namespace veltrano {

struct PackageContents {
  std::string task_name;
  std::string task_type;
  std::string version;
  std::string create_time;
  // Stored as it stands; the writer does not check it (tools do).
  std::string config;
  // Name and plaintext of each network, in package order: detection first,
  // recognition second.
  std::vector<std::pair<std::string, std::vector<char>>> networks;
};

// The bytes of a package. With `legacy`, the fixed-header layout: the task
// name is padded with NUL bytes to 16 and the other header texts are not
// stored. Otherwise the JSON header layout, whose texts must be UTF-8.
// Throws std::runtime_error when the contents do not fit the layout or there
// is no network.
std::string SerializePackage(const PackageContents& contents, bool legacy);

// SerializePackage, written to `path`. Throws std::runtime_error, naming the
// problem, and leaves no partial file behind.
void WritePackage(const std::string& path, const PackageContents& contents, bool legacy);

// One network as it is stored in a package: a secret-stream header, then
// 4096-byte chunks under the package key, the last one (possibly empty)
// tagged final. A fresh random stream header every call.
std::string EncryptNetwork(const std::vector<char>& plaintext);

}  // namespace veltrano

#endif  // KESHOCR_MODEL_PACKAGE_WRITER_H_
