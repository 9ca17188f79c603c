#include "node/node_chain.h"

#include <stdexcept>

namespace veltrano {
namespace dnn {

std::vector<Tensor> NodeChain::Run(std::vector<Tensor> tensors) {
  for (const auto& node : nodes_) {
    if (validate) {
      const StatusCode status = node->Validate(tensors);
      if (status != StatusCode::Success) {
        throw std::runtime_error("validation of node " + node->name() +
                                 " failed with status code " + StatusName(status));
      }
    }
    node->Run(tensors);
  }
  return tensors;
}

std::vector<Tensor> NodeChain::Run(std::vector<cv::Mat> images) {
  std::vector<Tensor> tensors;
  tensors.reserve(images.size());
  for (const cv::Mat& image : images) tensors.push_back(Tensor::FromMat(image));
  images.clear();
  return Run(std::move(tensors));
}

}  // namespace dnn
}  // namespace veltrano
