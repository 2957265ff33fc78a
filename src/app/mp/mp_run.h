#pragma once
// The commands of the terminal station over one StationRuntime. main() parses
// the command line, installs the Ctrl+C handler and calls RunCommand; tests
// call the same functions with their own streams and sequences.

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/mp/mp_options.h"
#include "engine/station_runtime.h"

namespace kvx::mp {

struct RunContext {
  std::filesystem::path exeDir;  // the default station folder
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool outIsTerminal = false;
  bool errIsTerminal = false;
  // Set (to the signal number) by the Ctrl+C handler; polled while jobs run.
  const std::atomic<int>* interrupt = nullptr;
  // What the runtime gets beyond the command line (tests: a sequence).
  RuntimeOptions runtime;
  // Progress period on a terminal and into a pipe, milliseconds.
  int terminalPeriodMs = 250;
  int plainPeriodMs = 1000;
};

// Answers "Stop it?" and "Stop all?" with OK (nobody is there to ask; Ctrl+C
// is the operator's answer) and prints notices and warnings on `err`.
class TerminalOperator final : public Operator {
 public:
  explicit TerminalOperator(std::FILE* err) : err_(err) {}
  bool confirm(const OperatorMessage&) override { return true; }
  void inform(const OperatorMessage& notice) override;

 private:
  std::FILE* err_;
};

int RunCommand(const MpOptions& options, const RunContext& context);

// The commands, on a runtime that is already built.
int ListPorts(StationRuntime& runtime, const RunContext& context);
int Produce(StationRuntime& runtime, const MpOptions& options, const RunContext& context);
int ConfigCommand(StationRuntime& runtime, const MpOptions& options, const RunContext& context);
int FlashTypesCommand(StationRuntime& runtime, const MpOptions& options, const RunContext& context);
int CodeTypesCommand(StationRuntime& runtime, const MpOptions& options, const RunContext& context);

// The line of one port: "Port-1   Port-1-1.1      sim:0   <text>".
std::string PortListLine(int slot, const std::string& key, const std::string& path,
                         const std::string& text);

}  // namespace kvx::mp
