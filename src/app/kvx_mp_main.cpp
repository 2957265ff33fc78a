// kvx-mp: the headless station. Parses the command line, turns Ctrl+C into
// Stop All and runs one command over a StationRuntime.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/mp/mp_options.h"
#include "app/mp/mp_run.h"

namespace {

// The signal handler's only way out: the number of the first SIGINT or
// SIGTERM. Lock-free, so storing it from the handler is safe.
std::atomic<int> g_interrupt{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int signal) {
  // A second Ctrl+C while the jobs wind down ends the process at once.
  if (g_interrupt.exchange(signal) != 0) _exit(130);
}

std::filesystem::path ExecutableFolder(const char* argv0) {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) return self.parent_path();
  return std::filesystem::absolute(argv0, ec).parent_path();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const kvx::mp::ParseResult parsed = kvx::mp::ParseCommandLine(args);
  if (!parsed.options) {
    std::FILE* out = parsed.exitCode == 0 ? stdout : stderr;
    std::fprintf(out, "%s\n", parsed.message.c_str());
    return parsed.exitCode;
  }

  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  kvx::mp::RunContext context;
  context.exeDir = ExecutableFolder(argv[0]);
  context.outIsTerminal = isatty(STDOUT_FILENO) == 1;
  context.errIsTerminal = isatty(STDERR_FILENO) == 1;
  context.interrupt = &g_interrupt;
  try {
    const int status = kvx::mp::RunCommand(*parsed.options, context);
    if (g_interrupt.load() == SIGTERM && status == kvx::mp::kExitInterrupted) return 128 + SIGTERM;
    return status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvx-mp: %s\n", e.what());
    return kvx::mp::kExitUsage;
  }
}
