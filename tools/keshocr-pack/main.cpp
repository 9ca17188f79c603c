// keshocr-pack: creates, describes and unpacks KeshOCR model packages.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/dnn_model.h"
#include "model/md5.h"
#include "model/package_format.h"
#include "model/package_writer.h"
#include "model/runtime_settings.h"

namespace {

namespace fs = std::filesystem;
using veltrano::package::kLegacyTaskNameSize;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kHelp = R"(Usage:
  keshocr-pack create -o OUT --task-name NAME --task-type TYPE --version VERSION
                      [--create-time TIME] --config CONFIG [--legacy]
                      DETECTION RECOGNITION [MORE...]
  keshocr-pack info PACKAGE
  keshocr-pack extract PACKAGE INDEX -o OUT
  keshocr-pack --help

Creates, describes and unpacks KeshOCR model packages. A package holds a header,
a configuration text and encrypted ONNX networks: the detection network first,
the recognition network second.

create   Writes a new package.
  -o, --output OUT      the package to write (replaced if it exists)
  --task-name NAME      the task name stored in the header
  --task-type TYPE      the task type stored in the header
  --version VERSION     the package version stored in the header
  --create-time TIME    the creation time, ISO 8601 (2024-05-01T12:00:00Z);
                        default: the current UTC time
  --config CONFIG       a JSON file holding an object whose "alphabet" member is
                        a non-empty string: the recognition classes, one byte
                        each; stored as it stands. An optional "runtime" object
                        says how the networks run (absent: as always):
                          "graph_optimization_level": "disable", "basic",
                            "extended" (the default) or "all"
                          "intra_op_threads": 0 (the runtime's choice, the
                            default) to 256; a host's KESHOCR_THREADS lowers it
                        other keys or values are refused
  --legacy              write the older layout with a fixed 16-byte task name
                        (a shorter name is padded with NUL bytes, a longer one
                        refused); it does not store the task type, version or
                        creation time, so those options are then optional
  DETECTION RECOGNITION [MORE...]
                        the network files, non-empty, in package order; each is
                        stored under its file name

info     Prints the header, the MD5 of the file, the configuration text and
         each network's name and encrypted size.

extract  Decrypts network INDEX (0 = detection, 1 = recognition) into a file.
  -o, --output OUT      the file to write (replaced if it exists)

Options take their value as the next argument or after '=' (--version=1.2).
Exit status: 0 on success, 1 when the work fails, 2 for a usage error.
)";

// A mistake in the command line, as opposed to a failure of the work itself.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The parsed command line of one subcommand: options by name (long form, no
// dashes) and the remaining arguments in order.
struct Arguments {
  std::map<std::string, std::string> values;
  std::map<std::string, bool> flags;
  std::vector<std::string> positional;
  bool help = false;

  std::optional<std::string> Get(const std::string& name) const {
    const auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
  std::string Require(const std::string& command, const std::string& name) const {
    const auto value = Get(name);
    if (!value) throw UsageError(command + " needs --" + name);
    if (value->empty()) throw UsageError("--" + name + " must not be empty");
    return *value;
  }
};

Arguments ParseArguments(const std::string& command, int argc, char** argv, const std::vector<std::string>& valued,
                         const std::vector<std::string>& flags) {
  auto is_one_of = [](const std::vector<std::string>& names, const std::string& name) {
    for (const auto& n : names)
      if (n == name) return true;
    return false;
  };
  Arguments args;
  bool options_done = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
      args.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      args.help = true;
      continue;
    }
    std::string name;
    std::optional<std::string> value;
    if (arg == "-o") {
      name = "output";
    } else if (arg.rfind("--", 0) == 0) {
      name = arg.substr(2);
      const size_t equals = name.find('=');
      if (equals != std::string::npos) {
        value = name.substr(equals + 1);
        name.resize(equals);
      }
    } else {
      throw UsageError("unknown option " + arg + " for " + command);
    }
    if (is_one_of(flags, name)) {
      if (value) throw UsageError("--" + name + " takes no value");
      args.flags[name] = true;
    } else if (is_one_of(valued, name)) {
      if (!value) {
        if (i + 1 >= argc) throw UsageError(arg + " needs a value");
        value = argv[++i];
      }
      if (!args.values.emplace(name, *value).second) throw UsageError("--" + name + " is given twice");
    } else {
      throw UsageError("unknown option " + arg + " for " + command);
    }
  }
  return args;
}

std::vector<char> ReadFile(const std::string& path, const std::string& what) {
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) throw Failure("cannot open " + what + " " + path + ": " + std::strerror(errno));
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) throw Failure("cannot read " + what + " " + path);
  return bytes;
}

void WriteFile(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file.is_open()) throw Failure("cannot create " + path + ": " + std::strerror(errno));
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (file.fail()) {
    std::remove(path.c_str());
    throw Failure("cannot write " + path);
  }
}

// The configuration is stored as it stands, but the recognition stage cannot
// start without a string "alphabet", so a package without one is refused
// here rather than discovered on the target machine.
std::string ReadConfig(const std::string& path) {
  const std::vector<char> bytes = ReadFile(path, "configuration");
  const std::string text(bytes.begin(), bytes.end());
  nlohmann::json config;
  try {
    config = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    throw Failure("configuration " + path + " is not valid JSON: " + e.what());
  }
  if (!config.is_object()) throw Failure("configuration " + path + " must be a JSON object");
  const auto alphabet = config.find("alphabet");
  if (alphabet == config.end()) throw Failure("configuration " + path + " has no \"alphabet\" member");
  if (!alphabet->is_string()) throw Failure("the \"alphabet\" of configuration " + path + " must be a string");
  if (alphabet->get_ref<const std::string&>().empty())
    throw Failure("the \"alphabet\" of configuration " + path + " is empty");
  veltrano::RuntimeSettings runtime;
  std::string error;
  if (!veltrano::ParseRuntimeSettings(text, runtime, error)) throw Failure("configuration " + path + ": " + error);
  return text;
}

std::vector<char> ReadNetwork(const std::string& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) throw Failure("network file " + path + " does not exist");
  if (!fs::is_regular_file(status)) throw Failure("network file " + path + " is not a regular file");
  std::vector<char> bytes = ReadFile(path, "network file");
  if (bytes.empty()) throw Failure("network file " + path + " is empty");
  return bytes;
}

std::string CurrentUtcTime() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// YYYY-MM-DD, optionally followed by THH:MM, then :SS and a fraction, then Z
// or an offset. Hand-written: the forms are few, and std::regex costs more
// than the rest of the tool.
bool IsIsoTime(const std::string& text) {
  size_t at = 0;
  auto number = [&](size_t width, int low, int high) {
    if (text.size() - at < width) return false;
    int value = 0;
    for (size_t end = at + width; at < end; ++at) {
      if (text[at] < '0' || text[at] > '9') return false;
      value = value * 10 + (text[at] - '0');
    }
    return value >= low && value <= high;
  };
  auto next = [&](char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
  };
  if (!number(4, 0, 9999) || !next('-') || !number(2, 1, 12) || !next('-') || !number(2, 1, 31)) return false;
  if (at == text.size()) return true;
  if (!next('T') || !number(2, 0, 23) || !next(':') || !number(2, 0, 59)) return false;
  if (next(':')) {
    if (!number(2, 0, 60)) return false;  // 60: a leap second
    if (next('.')) {
      const size_t fraction = at;
      while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
      if (at == fraction) return false;
    }
  }
  if (at == text.size()) return true;
  if (next('Z')) return at == text.size();
  if (!next('+') && !next('-')) return false;
  if (!number(2, 0, 23)) return false;
  next(':');
  return number(2, 0, 59) && at == text.size();
}

int Create(int argc, char** argv) {
  const Arguments args = ParseArguments(
      "create", argc, argv, {"output", "task-name", "task-type", "version", "create-time", "config"}, {"legacy"});
  if (args.help) {
    std::cout << kHelp;
    return kExitOk;
  }
  const bool legacy = args.flags.count("legacy") > 0;

  veltrano::PackageContents contents;
  const std::string output = args.Require("create", "output");
  contents.task_name = args.Require("create", "task-name");
  if (legacy) {
    if (contents.task_name.size() > kLegacyTaskNameSize)
      throw UsageError("--legacy stores at most " + std::to_string(kLegacyTaskNameSize) +
                       " bytes of task name; \"" + contents.task_name + "\" has " +
                       std::to_string(contents.task_name.size()));
    for (const char* name : {"task-type", "version", "create-time"})
      if (args.Get(name)) std::cerr << "keshocr-pack: note: the legacy layout does not store --" << name << "\n";
  } else {
    contents.task_type = args.Require("create", "task-type");
    contents.version = args.Require("create", "version");
    contents.create_time = args.Get("create-time").value_or(CurrentUtcTime());
    if (!IsIsoTime(contents.create_time))
      throw UsageError("--create-time \"" + contents.create_time +
                       "\" is not an ISO 8601 time such as 2024-05-01T12:00:00Z");
  }
  const std::string config_path = args.Require("create", "config");
  if (args.positional.size() < 2)
    throw UsageError("create needs the detection and the recognition network files (got " +
                     std::to_string(args.positional.size()) + ")");

  contents.config = ReadConfig(config_path);
  for (const std::string& path : args.positional)
    contents.networks.emplace_back(fs::path(path).filename().string(), ReadNetwork(path));

  try {
    veltrano::WritePackage(output, contents, legacy);
  } catch (const std::runtime_error& e) {
    throw Failure(e.what());
  }
  const std::vector<char> written = ReadFile(output, "package");
  std::cout << "wrote " << output << ": layout " << (legacy ? 0 : 1) << ", " << contents.networks.size()
            << " networks, " << written.size() << " bytes, MD5 " << veltrano::Md5Hex(written.data(), written.size())
            << "\n";
  return kExitOk;
}

// Header texts are raw bytes (the legacy task name carries NUL padding), so
// control bytes are shown escaped; everything else is printed as it is.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\0') {
      out += "\\0";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Reads the package once, refusing with a message that names the file; the
// reader's own "open Failed" line is not needed by people at a terminal.
veltrano::DNNModel OpenPackage(const std::string& path, std::string& magic) {
  std::ifstream probe(path, std::ios::binary);
  if (!probe.is_open()) throw Failure("cannot open package " + path + ": " + std::strerror(errno));
  magic.assign(veltrano::package::kMagicSize, '\0');
  probe.read(magic.data(), static_cast<std::streamsize>(magic.size()));
  magic.resize(static_cast<size_t>(probe.gcount()));

  veltrano::DNNModel model;
  const int code = model.Decode(path.c_str());
  if (code != 0) throw Failure(path + " is not a valid model package (reader code " + std::to_string(code) + ")");
  return model;
}

int Info(int argc, char** argv) {
  const Arguments args = ParseArguments("info", argc, argv, {}, {});
  if (args.help) {
    std::cout << kHelp;
    return kExitOk;
  }
  if (args.positional.size() != 1) throw UsageError("info takes one package");
  const std::string& path = args.positional[0];
  std::string magic;
  const veltrano::DNNModel model = OpenPackage(path, magic);

  std::string task_name, task_type, version, create_time, md5, config;
  model.GetTaskName(task_name);
  model.GetTaskType(task_type);
  model.GetVersion(version);
  model.GetCreateTime(create_time);
  model.GetMD5(md5);
  model.GetConfig(config);
  const bool legacy = magic == veltrano::package::kLegacyMagic;

  std::cout << "Package:     " << path << "\n"
            << "Layout:      " << (legacy ? 0 : 1) << " (" << magic << ")\n"
            << "Task name:   " << Printable(task_name) << "\n"
            << "Task type:   " << Printable(task_type) << "\n"
            << "Version:     " << Printable(version) << "\n"
            << "Create time: " << Printable(create_time) << "\n"
            << "MD5:         " << md5 << "\n"
            << "Config:\n"
            << config << (config.empty() || config.back() != '\n' ? "\n" : "")
            << "Networks:    " << model.GetModelCount() << "\n";
  for (size_t i = 0; i < model.GetModelCount(); ++i) {
    std::string name;
    size_t size = 0;
    model.GetModelInfo(i, name, size);
    std::cout << "  " << i << "  " << Printable(name) << "  " << size << " bytes encrypted\n";
  }
  return kExitOk;
}

int Extract(int argc, char** argv) {
  const Arguments args = ParseArguments("extract", argc, argv, {"output"}, {});
  if (args.help) {
    std::cout << kHelp;
    return kExitOk;
  }
  if (args.positional.size() != 2) throw UsageError("extract takes a package and a network index");
  const std::string output = args.Require("extract", "output");
  const std::string& path = args.positional[0];
  const std::string& index_text = args.positional[1];
  if (index_text.empty() || index_text.size() > 9 || index_text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError("network index \"" + index_text + "\" is not a number");
  const size_t index = std::stoul(index_text);

  std::string magic;
  const veltrano::DNNModel model = OpenPackage(path, magic);
  if (index >= model.GetModelCount())
    throw Failure(path + " has " + std::to_string(model.GetModelCount()) + " networks; there is no network " +
                  index_text);
  std::vector<char> network;
  try {
    model.GetModel(index, network);
  } catch (const char* message) {
    throw Failure("network " + index_text + " of " + path + " cannot be decrypted (" + message +
                  "); it may have been written with another key");
  }
  WriteFile(output, network);
  std::string name;
  size_t encrypted_size = 0;
  model.GetModelInfo(index, name, encrypted_size);
  std::cout << "wrote " << output << ": network " << index << " (" << Printable(name) << "), " << network.size()
            << " bytes\n";
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  try {
    if (command == "-h" || command == "--help" || command == "help") {
      std::cout << kHelp;
      return kExitOk;
    }
    if (command == "create") return Create(argc - 2, argv + 2);
    if (command == "info") return Info(argc - 2, argv + 2);
    if (command == "extract") return Extract(argc - 2, argv + 2);
    throw UsageError(command.empty() ? "no command given" : "unknown command \"" + command + "\"");
  } catch (const UsageError& e) {
    std::cerr << "keshocr-pack: " << e.what() << "\nTry 'keshocr-pack --help'.\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "keshocr-pack: " << e.what() << "\n";
    return kExitFailure;
  }
}
