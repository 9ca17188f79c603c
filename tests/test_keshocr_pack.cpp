// keshocr-pack as people run it: the built program, its exit codes and what
// it prints, and packages it writes read back through the library's reader.
#include <sys/wait.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/dnn_model.h"
#include "model/md5.h"
#include "support/log_capture.h"
#include "support/test_paths.h"

namespace veltrano {
namespace {

namespace fs = std::filesystem;

const std::string kTool = std::string(KESHOCR_BINARY_DIR) + "/tools/keshocr-pack";

struct Result {
  int status = -1;
  std::string out, err;
};

std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::string Pattern(size_t size, unsigned seed) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * (2 * seed + 61) + i / 257 + seed) & 0xff);
  return text;
}

// Each test works in its own scratch directory: inputs, package, outputs.
class KeshocrPack : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kTool)) << kTool << " is not built";
    dir_ = keshocr_test::ScratchDir(std::string("keshocr_pack/") +
                                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_ + "/nets");
    WriteText(Path("config.json"), config_);
    WriteText(Path("nets/det.onnx"), det_);
    WriteText(Path("nets/rec.onnx"), rec_);
    WriteText(Path("nets/extra.onnx"), "x");
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  Result Run(const std::vector<std::string>& args) const {
    std::string command = Quote(kTool);
    for (const std::string& arg : args) command += " " + Quote(arg);
    command += " >" + Quote(Path("stdout")) + " 2>" + Quote(Path("stderr"));
    const int raw = std::system(command.c_str());
    Result result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = ReadText(Path("stdout"));
    result.err = ReadText(Path("stderr"));
    return result;
  }

  // A complete create command line; tests replace or drop pieces of it.
  std::vector<std::string> CreateArgs() const {
    return {"create",      "-o",        Path("out.pkg"), "--task-name",  "digits", "--task-type",
            "ocr",         "--version", "2.0.1",         "--create-time", "2024-05-01T12:00:00Z",
            "--config",    Path("config.json"), Path("nets/det.onnx"), Path("nets/rec.onnx")};
  }

  struct Read {
    int code;
    DNNModel model;
    std::string task_name, task_type, version, create_time, config, md5;
  };
  Read ReadPackage(const std::string& path) const {
    Read read{0, DNNModel(), "", "", "", "", "", ""};
    keshocr_test::StdStreamCapture quiet;
    read.code = read.model.Decode(path.c_str());
    read.model.GetTaskName(read.task_name);
    read.model.GetTaskType(read.task_type);
    read.model.GetVersion(read.version);
    read.model.GetCreateTime(read.create_time);
    read.model.GetConfig(read.config);
    read.model.GetMD5(read.md5);
    return read;
  }

  std::string Network(const DNNModel& model, size_t index) const {
    std::vector<char> out;
    EXPECT_EQ(model.GetModel(index, out), 0);
    return std::string(out.begin(), out.end());
  }

  std::string dir_;
  const std::string config_ = "{\n  \"alphabet\": \"0123456789\",\n  \"note\": \"kept as written\"\n}\n";
  const std::string det_ = Pattern(10000, 1);
  const std::string rec_ = Pattern(4096, 2);
};

TEST_F(KeshocrPack, HelpDescribesEveryOption) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, {"-h"}, {"help"}, {"create", "--help"}, {"extract", "-h"}}) {
    const Result result = Run(args);
    EXPECT_EQ(result.status, 0) << args[0];
    for (const char* option : {"create", "info", "extract", "-o, --output", "--task-name", "--task-type",
                               "--version", "--create-time", "--config", "--legacy", "INDEX", "Exit status"})
      EXPECT_NE(result.out.find(option), std::string::npos) << option;
  }
}

TEST_F(KeshocrPack, CreateThenReadWithTheLibrary) {
  std::vector<std::string> args = CreateArgs();
  args.push_back(Path("nets/extra.onnx"));
  const Result result = Run(args);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");

  const Read read = ReadPackage(Path("out.pkg"));
  EXPECT_EQ(read.code, 0);
  EXPECT_EQ(read.task_name, "digits");
  EXPECT_EQ(read.task_type, "ocr");
  EXPECT_EQ(read.version, "2.0.1");
  EXPECT_EQ(read.create_time, "2024-05-01T12:00:00Z");
  EXPECT_EQ(read.config, config_);  // byte for byte, not re-serialised
  ASSERT_EQ(read.model.GetModelCount(), 3u);
  EXPECT_EQ(Network(read.model, 0), det_);
  EXPECT_EQ(Network(read.model, 1), rec_);
  EXPECT_EQ(Network(read.model, 2), "x");
  std::string name;
  size_t size = 0;
  read.model.GetModelInfo(0, name, size);
  EXPECT_EQ(name, "det.onnx");  // the base name, not the path given
  EXPECT_NE(result.out.find(read.md5), std::string::npos) << result.out;
}

TEST_F(KeshocrPack, CreationTimeDefaultsToNowInUtc) {
  std::vector<std::string> args = CreateArgs();
  args.erase(args.begin() + 9, args.begin() + 11);  // --create-time and its value
  ASSERT_EQ(args[9], "--config");
  const std::time_t before = std::time(nullptr);
  ASSERT_EQ(Run(args).status, 0);
  const std::time_t after = std::time(nullptr);

  const std::string time = ReadPackage(Path("out.pkg")).create_time;
  std::tm utc{};
  int length = 0;
  ASSERT_EQ(std::sscanf(time.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                        &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &length),
            6)
      << time;
  ASSERT_EQ(time.size(), 20u) << time;
  ASSERT_EQ(length, 20) << time;
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  const std::time_t stamped = timegm(&utc);
  EXPECT_GE(stamped, before - 1) << time;
  EXPECT_LE(stamped, after + 1) << time;
}

TEST_F(KeshocrPack, LegacyLayout) {
  for (const std::string& name : {std::string("abc"), std::string("sixteen-bytes-16")}) {
    const Result result = Run({"create", "--legacy", "-o", Path("old.pkg"), "--task-name", name, "--config",
                               Path("config.json"), Path("nets/det.onnx"), Path("nets/rec.onnx")});
    ASSERT_EQ(result.status, 0) << result.err;
    const Read read = ReadPackage(Path("old.pkg"));
    EXPECT_EQ(read.code, 0);
    std::string padded = name;
    padded.resize(16, '\0');
    EXPECT_EQ(read.task_name, padded);
    EXPECT_EQ(ReadText(Path("old.pkg")).substr(0, 11), "QXMODELLOAD");
    EXPECT_EQ(Network(read.model, 1), rec_);
  }

  // Seventeen bytes do not fit; nothing is written.
  const Result result = Run({"create", "--legacy", "-o", Path("long.pkg"), "--task-name", "seventeen-bytes-1",
                             "--config", Path("config.json"), Path("nets/det.onnx"), Path("nets/rec.onnx")});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("16"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(Path("long.pkg")));

  // Texts the layout cannot store are announced, not silently dropped.
  const Result noted = Run({"create", "--legacy", "-o", Path("old.pkg"), "--task-name", "abc", "--version", "9",
                            "--config", Path("config.json"), Path("nets/det.onnx"), Path("nets/rec.onnx")});
  EXPECT_EQ(noted.status, 0);
  EXPECT_NE(noted.err.find("--version"), std::string::npos) << noted.err;
}

TEST_F(KeshocrPack, InfoShowsHeaderConfigurationAndNetworks) {
  ASSERT_EQ(Run(CreateArgs()).status, 0);
  const Result result = Run({"info", Path("out.pkg")});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string package = ReadText(Path("out.pkg"));
  for (const std::string& expected :
       {std::string("digits"), std::string("ocr"), std::string("2.0.1"), std::string("2024-05-01T12:00:00Z"),
        Md5Hex(package.data(), package.size()), config_, std::string("det.onnx  10075 bytes"),
        std::string("rec.onnx  4137 bytes")})
    EXPECT_NE(result.out.find(expected), std::string::npos) << expected << "\n" << result.out;

  // A legacy name's NUL padding is shown, not written raw to the terminal.
  ASSERT_EQ(Run({"create", "--legacy", "-o", Path("old.pkg"), "--task-name", "abc", "--config",
                 Path("config.json"), Path("nets/det.onnx"), Path("nets/rec.onnx")})
                .status,
            0);
  const Result legacy = Run({"info", Path("old.pkg")});
  EXPECT_EQ(legacy.status, 0);
  EXPECT_NE(legacy.out.find("abc\\0\\0"), std::string::npos) << legacy.out;
  EXPECT_EQ(legacy.out.find('\0'), std::string::npos);
}

TEST_F(KeshocrPack, ExtractDecryptsOneNetwork) {
  ASSERT_EQ(Run(CreateArgs()).status, 0);
  Result result = Run({"extract", Path("out.pkg"), "0", "-o", Path("det-again.onnx")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadText(Path("det-again.onnx")), det_);
  result = Run({"extract", Path("out.pkg"), "1", "--output=" + Path("rec-again.onnx")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadText(Path("rec-again.onnx")), rec_);

  result = Run({"extract", Path("out.pkg"), "2", "-o", Path("none.onnx")});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("no network 2"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(Path("none.onnx")));

  for (const char* index : {"-1", "one", "1.0", ""}) {
    result = Run({"extract", Path("out.pkg"), index, "-o", Path("none.onnx")});
    EXPECT_EQ(result.status, 2) << index;
  }
}

TEST_F(KeshocrPack, DamagedPackagesAreReportedByName) {
  ASSERT_EQ(Run(CreateArgs()).status, 0);
  std::string package = ReadText(Path("out.pkg"));
  package[package.size() - 100] ^= 1;  // inside the last network
  WriteText(Path("damaged.pkg"), package);
  Result result = Run({"extract", Path("damaged.pkg"), "1", "-o", Path("rec.out")});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("cannot be decrypted"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("corrupted chunk"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(Path("rec.out")));

  WriteText(Path("truncated.pkg"), package.substr(0, 40));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"info", Path("truncated.pkg")}, {"extract", Path("truncated.pkg"), "0", "-o", "x"}}) {
    result = Run(args);
    EXPECT_EQ(result.status, 1) << args[0];
    EXPECT_NE(result.err.find("truncated.pkg is not a valid model package"), std::string::npos) << result.err;
  }
  result = Run({"info", Path("missing.pkg")});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("cannot open package " + Path("missing.pkg")), std::string::npos) << result.err;
}

TEST_F(KeshocrPack, BadConfigurationsAreRefused) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"{\"alphabet\": \"01\"", "is not valid JSON"},
      {"// digits\n{\"alphabet\": \"01\"}", "is not valid JSON"},
      {"[\"alphabet\"]", "must be a JSON object"},
      {"{\"letters\": \"01\"}", "has no \"alphabet\" member"},
      {"{\"alphabet\": 10}", "must be a string"},
      {"{\"alphabet\": \"\"}", "is empty"},
      {"{\"alphabet\": \"01\", \"runtime\": {\"graph_optimization_level\": \"fast\"}}", "got \"fast\""},
  };
  for (const auto& c : cases) {
    WriteText(Path("config.json"), c.text);
    const Result result = Run(CreateArgs());
    EXPECT_EQ(result.status, 1) << c.text;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << c.text << " -> " << result.err;
    EXPECT_NE(result.err.find("config.json"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(Path("out.pkg"))) << c.text;
  }
  fs::remove(Path("config.json"));
  const Result result = Run(CreateArgs());
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("cannot open configuration"), std::string::npos) << result.err;
}

TEST_F(KeshocrPack, BadNetworkFilesAreRefused) {
  WriteText(Path("nets/empty.onnx"), "");
  const struct {
    std::string network;
    std::string message;
  } cases[] = {
      {Path("nets/missing.onnx"), "does not exist"},
      {Path("nets/empty.onnx"), "is empty"},
      {Path("nets"), "is not a regular file"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = CreateArgs();
    args.back() = c.network;
    const Result result = Run(args);
    EXPECT_EQ(result.status, 1) << c.network;
    EXPECT_NE(result.err.find(c.network + " " + c.message), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(Path("out.pkg")));
  }
}

TEST_F(KeshocrPack, UsageErrorsExitWith2) {
  auto without = [&](const std::string& option, int values) {
    std::vector<std::string> args = CreateArgs();
    for (size_t i = 0; i < args.size(); ++i)
      if (args[i] == option) {
        args.erase(args.begin() + i, args.begin() + i + 1 + values);
        break;
      }
    return args;
  };
  auto replaced = [&](const std::string& option, const std::string& value) {
    std::vector<std::string> args = CreateArgs();
    for (size_t i = 0; i + 1 < args.size(); ++i)
      if (args[i] == option) args[i + 1] = value;
    return args;
  };
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = CreateArgs();
    args.insert(args.begin() + 1, extra.begin(), extra.end());
    return args;
  };
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "no command"},
      {{"pack"}, "unknown command \"pack\""},
      {without("-o", 1), "create needs --output"},
      {without("--task-name", 1), "create needs --task-name"},
      {without("--task-type", 1), "create needs --task-type"},
      {without("--version", 1), "create needs --version"},
      {without("--config", 1), "create needs --config"},
      {without(Path("nets/rec.onnx"), 0), "detection and the recognition network"},
      {with({"--task-name", "again"}), "--task-name is given twice"},
      {replaced("--task-name", ""), "--task-name must not be empty"},
      {replaced("--version", ""), "--version must not be empty"},
      {with({"--compress"}), "unknown option --compress"},
      {with({"--legacy=yes"}), "--legacy takes no value"},
      {replaced("--create-time", "yesterday"), "not an ISO 8601 time"},
      {replaced("--create-time", "2024-13-01T00:00:00Z"), "not an ISO 8601 time"},
      {replaced("--create-time", "2024-05-01T12:00:00Zx"), "not an ISO 8601 time"},
      {replaced("--create-time", "2024-05-01T12:00:00."), "not an ISO 8601 time"},
      {replaced("--create-time", "2024-05-01 12:00:00"), "not an ISO 8601 time"},
      {replaced("--create-time", "2024-05-01T24:00"), "not an ISO 8601 time"},
      {{"create", "-o"}, "-o needs a value"},
      {{"info"}, "info takes one package"},
      {{"extract", "a.pkg", "0"}, "extract needs --output"},
  };
  for (const auto& c : cases) {
    const Result result = Run(c.args);
    const std::string line = c.args.empty() ? "(nothing)" : c.args[0] + " ... (" + c.message + ")";
    EXPECT_EQ(result.status, 2) << line;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << line << " -> " << result.err;
    EXPECT_NE(result.err.find("--help"), std::string::npos) << line;
  }
  EXPECT_FALSE(fs::exists(Path("out.pkg")));
}

TEST_F(KeshocrPack, CreationTimesInIsoForms) {
  for (const char* time : {"2024-05-01", "2024-05-01T12:00Z", "2024-05-01T12:00:00.250+02:00", "2024-05-01T23:59:59",
                           "2024-05-01T12:00:00-0530"}) {
    std::vector<std::string> args = CreateArgs();
    args[10] = time;
    ASSERT_EQ(args[9], "--create-time");
    EXPECT_EQ(Run(args).status, 0) << time;
    EXPECT_EQ(ReadPackage(Path("out.pkg")).create_time, time);
  }
}

}  // namespace
}  // namespace veltrano
