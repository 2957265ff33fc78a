#pragma once
// Command line of the terminal station:
//   kvx-mp [--home DIR] [--sim N | --sim-profile FILE] <command> [options]

#include <optional>
#include <string>
#include <vector>

namespace kvx::mp {

enum class Command {
  Ports,
  Produce,
  ConfigShow,
  ConfigGet,
  ConfigSet,
  FlashTypesList,
  FlashTypesExport,
  FlashTypesImport,
  CodeTypesList,
  CodeTypesLoad,
};

struct MpOptions {
  std::string home;  // empty: the executable's folder
  std::optional<int> simDisks;
  std::string simProfile;
  Command command = Command::Ports;
  // produce
  std::optional<int> scanLevel;
  bool json = false;
  std::string reportFile;
  std::string exportDir;
  // config get/set, flash-types export/import, code-types load
  std::string key, value, file;
  int index = -1;
};

// Exit codes of kvx-mp.
inline constexpr int kExitOk = 0;
inline constexpr int kExitJobFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

struct ParseResult {
  std::optional<MpOptions> options;  // empty when the program should exit
  int exitCode = kExitOk;            // for --help: 0; for bad arguments: 2
  std::string message;               // help text or the one-line reason
};

ParseResult ParseCommandLine(const std::vector<std::string>& args);

}  // namespace kvx::mp
