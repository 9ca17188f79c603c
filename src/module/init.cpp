// Loading a model package into both stages.
#include <iostream>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "model/dnn_model.h"
#include "module/session_settings.h"
#include "module/module_impl.h"

namespace veltrano {
namespace {

constexpr size_t kDetectionNetwork = 0;
constexpr size_t kRecognitionNetwork = 1;

}  // namespace

ResultCode KeshOCRModule::Impl::Init(const std::string& model_path, bool use_gpu, int reserved) {
  DNNModel package;
  const int rc = package.Decode(model_path.c_str());
  if (rc == 5) std::cout << "file not exist" << std::endl;
  if (rc != 0) std::cout << "Decode failed, code: " << rc << std::endl;

  std::string config, task_name, task_type, version, create_time, md5;
  package.GetConfig(config);
  package.GetTaskName(task_name);
  package.GetTaskType(task_type);
  package.GetVersion(version);
  package.GetCreateTime(create_time);
  package.GetMD5(md5);
  std::cout << "Task name:   " << task_name << std::endl
            << "Task type:   " << task_type << std::endl
            << "Version:     " << version << std::endl
            << "Create time: " << create_time << std::endl
            << "MD5:         " << md5 << std::endl
            << "Config:      " << std::endl
            << config << std::endl;
  if (rc != 0) return InvalidModel;

  if (package.GetModelCount() < 2) {
    std::cerr << "model package " << model_path << " holds " << package.GetModelCount()
              << " network(s); a detection and a recognition network are needed" << std::endl;
    return InvalidModel;
  }
  dnn::SessionSettings session;
  std::string error;
  if (!SessionSettingsFor(config, session, error)) {
    std::cerr << "model package " << model_path << ": " << error << std::endl;
    return InvalidModel;
  }

  std::vector<char> detection, recognition;
  try {
    package.GetModel(kDetectionNetwork, detection);
    package.GetModel(kRecognitionNetwork, recognition);
  } catch (const char* message) {  // the decryptor throws its message as is
    std::cerr << "model package " << model_path << ": cannot decrypt a network: " << message
              << std::endl;
    return InvalidModel;
  }

  // All or nothing: fresh stages replace the current ones only once both are
  // ready, so an exception leaves the module as it was.
  DetModule new_det;
  new_det.Init(detection, config, use_gpu, reserved, session);
  RegModule new_reg;
  new_reg.Init(recognition, config, use_gpu, reserved, session);
  det = new_det;
  reg = new_reg;
  model_md5 = md5;
#ifdef __GLIBC__
  // The decoded package, the decrypted networks and the runtime's parsed
  // graphs are freed by now, but glibc keeps that heap mapped and the first
  // Run's tensors grow it further: handing it back lowers the peak resident
  // size of a process that reads an image by about 7 MB.
  malloc_trim(0);
#endif
  return Success;
}

}  // namespace veltrano
