// Reader of model packages: a header, a configuration text and a list of
// encrypted networks, in one of two layouts (see model/package_format.h).
#ifndef KESHOCR_MODEL_DNN_MODEL_H_
#define KESHOCR_MODEL_DNN_MODEL_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace veltrano {

// Copies share one state. A DNNModel is meant for one Decode: a second call
// overwrites the texts but appends its networks behind the first call's.
// The largest package Decode reads: a hundred times today's networks.
constexpr size_t kMaxPackageSize = size_t{512} << 20;

class DNNModel {
 public:
  DNNModel();

  // Reads and parses the whole file. Returns 0, 2 when the contents cannot be
  // parsed or the path is not a regular file of at most kMaxPackageSize
  // bytes (said on std::cerr, before anything is read), or 5 when the file
  // cannot be opened (then "open Failed" is written to std::cout). After a
  // failure the members keep what was parsed before it; the MD5 is set once
  // the configuration has been read.
  int Decode(const char* path);
  // The parsing step of Decode, for a package already in memory.
  int DecodeBytes(const char* data, size_t size);

  // Copy one header text into `out` and return 0; empty until parsed. The
  // legacy layout's task name keeps its 16 bytes, NUL padding included, and
  // has no version, creation time or task type.
  int GetTaskName(std::string& out) const;
  int GetVersion(std::string& out) const;
  int GetCreateTime(std::string& out) const;
  int GetTaskType(std::string& out) const;
  int GetConfig(std::string& out) const;
  // 32 lowercase hexadecimal digits: the MD5 of the whole file.
  int GetMD5(std::string& out) const;

  size_t GetModelCount() const;
  // Decrypts network `index` into `out`. Returns 0, or 4 when there is no
  // such network (`out` is then left alone). A stream that fails to decrypt
  // throws the decryptor's const char* message and leaves `out` alone.
  int GetModel(size_t index, std::vector<char>& out) const;
  // The stored name and encrypted size of network `index`; 0, or 4 when
  // there is no such network.
  int GetModelInfo(size_t index, std::string& name, size_t& encrypted_size) const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace veltrano

#endif  // KESHOCR_MODEL_DNN_MODEL_H_
