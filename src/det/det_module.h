#ifndef KESHOCR_DET_DET_MODULE_H_
#define KESHOCR_DET_DET_MODULE_H_
#include <memory>
namespace veltrano {
class DetModule {
 public:
  DetModule();
  bool HasNetwork() const;
 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};
}  // namespace veltrano
#endif
