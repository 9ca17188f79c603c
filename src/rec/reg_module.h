#ifndef KESHOCR_REC_REG_MODULE_H_
#define KESHOCR_REC_REG_MODULE_H_
#include <memory>
namespace veltrano {
class RegModule {
 public:
  RegModule();
  bool HasNetwork() const;
 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};
}  // namespace veltrano
#endif
