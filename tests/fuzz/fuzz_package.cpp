// Any bytes as a model package: parse them as Decode does, read every text,
// and decrypt the first networks.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model/dnn_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  veltrano::DNNModel model;
  model.DecodeBytes(reinterpret_cast<const char*>(data), size);

  std::string text;
  model.GetTaskName(text);
  model.GetVersion(text);
  model.GetCreateTime(text);
  model.GetTaskType(text);
  model.GetConfig(text);
  model.GetMD5(text);

  // The system reads networks 0 and 1; one more covers the rest of the list.
  for (size_t index = 0; index < 3; ++index) {
    std::vector<char> network;
    std::string name;
    size_t encrypted_size = 0;
    model.GetModelInfo(index, name, encrypted_size);
    try {
      model.GetModel(index, network);
    } catch (const char*) {
      // A failed decryption is an answer, not a fault.
    }
  }
  return 0;
}
