// Handle semantics of KeshOCRModule that need no model package.
#include <gtest/gtest.h>

#include <cctype>
#include <thread>

#include "KeshOCR.h"

namespace veltrano {
namespace {

// True when `text` has the shape of `pattern`: 'A' an upper-case letter, 'a' a
// lower-case one, '9' a digit, '_' a digit or a blank, anything else itself.
bool HasShape(const std::string& text, const std::string& pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool ok = pattern[i] == 'A'   ? std::isupper(c)
                    : pattern[i] == 'a' ? std::islower(c)
                    : pattern[i] == '9' ? std::isdigit(c)
                    : pattern[i] == '_' ? (std::isdigit(c) || c == ' ')
                                        : c == static_cast<unsigned char>(pattern[i]);
    if (!ok) return false;
  }
  return true;
}

TEST(ModuleInterface, VersionBeforeInit) {
  KeshOCRModule module;
  const std::string version = module.Version();
  const std::string head = "Version: 1.9.0\nModel MD5: \nCompiled at: ";
  ASSERT_EQ(version.substr(0, head.size()), head) << version;
  EXPECT_TRUE(HasShape(version.substr(head.size()), "Aaa _9 9999 99:99:99\n")) << version;
}

TEST(ModuleInterface, RunBeforeInitAnswersInvalidModelAndLeavesResponse) {
  KeshOCRModule module;
  OCRResponse response;
  response.status = 42;
  response.results.resize(2);
  EXPECT_EQ(module.Run(OCRRequest{cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(0)), 0}, response),
            InvalidModel);
  EXPECT_EQ(response.status, 42);
  EXPECT_EQ(response.results.size(), 2u);
}

TEST(ModuleInterface, CopiesAssignmentAndSelfAssignmentStayUsable) {
  auto original = std::make_unique<KeshOCRModule>();
  KeshOCRModule copy(*original);
  KeshOCRModule assigned;
  assigned = *original;
  assigned = assigned;
  original.reset();  // the copies keep the shared pipeline alive
  EXPECT_EQ(copy.Version(), assigned.Version());
  OCRResponse response;
  EXPECT_EQ(copy.Run(OCRRequest{}, response), InvalidModel);
}

TEST(ModuleInterface, RecordsHaveDefinedDefaults) {
  OCRResult result;
  EXPECT_EQ(result.score, 0.0f);
  EXPECT_TRUE(result.points.empty());
  OCRResponse response;
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(OCRRequest{}.threshold, 0.0f);
}

TEST(ModuleInterface, CopiesMadeAndDestroyedOnManyThreads) {
  KeshOCRModule shared;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared] {
      for (int i = 0; i < 1000; ++i) {
        KeshOCRModule copy(shared);
        KeshOCRModule other;
        other = copy;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(shared.Version().empty());
}

}  // namespace
}  // namespace veltrano
