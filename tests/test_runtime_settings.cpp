// The "runtime" member of a package's configuration and the KESHOCR_THREADS cap.
#include <gtest/gtest.h>

#include <string>

#include "model/runtime_settings.h"

namespace veltrano {
namespace {

TEST(RuntimeSettings, AbsentOrValidMembersGiveTheirValues) {
  RuntimeSettings settings;
  std::string error;
  for (const char* config : {R"({"alphabet": "01"})", "not json", "[1, 2]", ""}) {
    ASSERT_TRUE(ParseRuntimeSettings(config, settings, error)) << config;
    EXPECT_EQ(settings.graph_optimization_level, 2) << config;
    EXPECT_EQ(settings.intra_op_threads, 0) << config;
  }
  ASSERT_TRUE(ParseRuntimeSettings(
      R"({"alphabet": "01", "runtime": {"graph_optimization_level": "all", "intra_op_threads": 3}})", settings,
      error));
  EXPECT_EQ(settings.graph_optimization_level, 99);
  EXPECT_EQ(settings.intra_op_threads, 3);
  ASSERT_TRUE(ParseRuntimeSettings(R"({"runtime": {"graph_optimization_level": "disable"}})", settings, error));
  EXPECT_EQ(settings.graph_optimization_level, 0);
  EXPECT_EQ(settings.intra_op_threads, 0);
}

TEST(RuntimeSettings, UnknownKeysAndBadValuesAreRefusedByName) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"runtime": "all"})", "must be an object"},
      {R"({"runtime": {"graph_optimisation_level": "all"}})", "unknown runtime setting \"graph_optimisation_level\""},
      {R"({"runtime": {"graph_optimization_level": "max"}})", "got \"max\""},
      {R"({"runtime": {"graph_optimization_level": 99}})", "got 99"},
      {R"({"runtime": {"intra_op_threads": -1}})", "got -1"},
      {R"({"runtime": {"intra_op_threads": 257}})", "got 257"},
      {R"({"runtime": {"intra_op_threads": 1.5}})", "got 1.5"},
      {R"({"runtime": {"intra_op_threads": "2"}})", "got \"2\""},
  };
  for (const auto& [config, message] : cases) {
    RuntimeSettings settings;
    std::string error;
    EXPECT_FALSE(ParseRuntimeSettings(config, settings, error)) << config;
    EXPECT_NE(error.find(message), std::string::npos) << config << ": " << error;
  }
}

TEST(RuntimeSettings, TheHostsThreadCapLowersOrFillsTheCount) {
  std::string warning;
  EXPECT_EQ(CappedIntraOpThreads(0, nullptr, warning), 0);
  EXPECT_EQ(CappedIntraOpThreads(4, "", warning), 4);
  EXPECT_EQ(CappedIntraOpThreads(0, "1", warning), 1);
  EXPECT_EQ(CappedIntraOpThreads(4, "2", warning), 2);
  EXPECT_EQ(CappedIntraOpThreads(2, "8", warning), 2);
  EXPECT_TRUE(warning.empty());
  for (const char* bad : {"0", "-2", "two", "3x", "1000"}) {
    warning.clear();
    EXPECT_EQ(CappedIntraOpThreads(3, bad, warning), 3) << bad;
    EXPECT_NE(warning.find("KESHOCR_THREADS"), std::string::npos) << bad;
  }
}

}  // namespace
}  // namespace veltrano
