// Writes the fuzzers' seed corpus: small valid packages of both layouts and
// encrypted networks around the chunk size. Run once; the output is
// committed under tests/fuzz/corpus (stream headers are random, so every run
// writes different bytes).
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "model/package_writer.h"

namespace {

std::vector<char> Bytes(size_t size, unsigned seed) {
  std::vector<char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * (2 * seed + 1) + seed) & 0xff);
  return bytes;
}

void Write(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_make_seeds CORPUS_DIR\n";
    return 2;
  }
  const std::filesystem::path root = argv[1];
  std::filesystem::create_directories(root / "package");
  std::filesystem::create_directories(root / "stream");

  veltrano::PackageContents two;
  two.task_name = "seed";
  two.task_type = "ocr";
  two.version = "1.0";
  two.create_time = "2024-05-01T12:00:00Z";
  two.config = R"({"alphabet": "0123456789"})";
  two.networks = {{"det.onnx", Bytes(3, 1)}, {"rec.onnx", Bytes(10, 2)}};
  Write(root / "package" / "json-two-networks.pkg", veltrano::SerializePackage(two, false));
  Write(root / "package" / "legacy-two-networks.pkg", veltrano::SerializePackage(two, true));

  veltrano::PackageContents one = two;
  one.task_name = "abc";  // NUL-padded in the legacy layout
  one.networks.resize(1);
  Write(root / "package" / "json-one-network.pkg", veltrano::SerializePackage(one, false));
  Write(root / "package" / "legacy-one-network.pkg", veltrano::SerializePackage(one, true));

  veltrano::PackageContents chunks = two;
  chunks.networks = {{"full", Bytes(4096, 3)}, {"two-chunks", Bytes(5000, 4)}, {"empty", {}}};
  Write(root / "package" / "json-chunk-sizes.pkg", veltrano::SerializePackage(chunks, false));

  // The fuzzer reads the first byte as a skew of the length it passes on.
  const struct {
    const char* name;
    size_t size;
    int8_t skew;
  } streams[] = {
      {"empty", 0, 0}, {"short", 5, 0}, {"one-full-chunk", 4096, 0}, {"two-chunks", 5000, 0},
      {"one-full-chunk-overstated", 4096, 17}, {"two-chunks-understated", 5000, -1},
  };
  for (const auto& stream : streams)
    Write(root / "stream" / (std::string(stream.name) + ".bin"),
          std::string(1, static_cast<char>(stream.skew)) + veltrano::EncryptNetwork(Bytes(stream.size, 5)));
  return 0;
}
