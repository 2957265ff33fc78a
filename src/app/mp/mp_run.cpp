#include "app/mp/mp_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <set>
#include <thread>

#include "app/mp/terminal_progress.h"
#include "engine/report/job_summary.h"
#include "sim/simulator.h"

namespace kvx::mp {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int SetupError(const RunContext& c, const std::string& reason) {
  std::fprintf(c.err, "kvx-mp: %s\n", reason.c_str());
  return kExitUsage;
}

bool Interrupted(const RunContext& c) {
  return c.interrupt && c.interrupt->load() != 0;
}

std::string LocalTimestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  ::localtime_r(&now, &t);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &t);
  return buf;
}

// The simulated disk behind "sim:<n>", or -1.
int SimDiskOf(const std::string& path) {
  const std::string prefix = sim::Simulator::kPathPrefix;
  if (path.rfind(prefix, 0) != 0 || path.size() == prefix.size()) return -1;
  int n = 0;
  for (std::size_t i = prefix.size(); i < path.size(); ++i) {
    if (path[i] < '0' || path[i] > '9' || n > 100000) return -1;
    n = n * 10 + (path[i] - '0');
  }
  return n;
}

// The ports of the jobs the last Start All started: each has its root node
// in the bad-page tree, which Start All empties first.
std::vector<int> StartedPorts(Station& station) {
  std::set<int> ports;
  for (const auto& node : station.badPageTree().snapshot()) ports.insert(node.port);
  return {ports.begin(), ports.end()};
}

std::vector<PortLine> LinesOf(Station& station, const std::vector<int>& ports) {
  std::vector<PortLine> lines;
  for (int k : ports)
    lines.push_back({k, station.record(k).PortKey, station.display(k).snapshot()});
  return lines;
}

// "Port-1   Port-1-1.1      blue     Finished. ..." (coloured on a terminal).
std::string FinalLine(const JobSummary& s, bool terminal) {
  std::string colour = s.colour;
  colour.resize(std::max<std::size_t>(colour.size(), 8), ' ');
  const std::string line = PortListLine(s.slot, s.portKey, s.devicePath, colour + s.text);
  if (!terminal) return line;
  BarColour c = BarColour::Blue;
  for (BarColour x : {BarColour::Blue, BarColour::Red, BarColour::Magenta, BarColour::Purple})
    if (s.colour == ColourName(x)) c = x;
  return AnsiColour(c) + line + "\033[0m";
}

void ExportDisks(StationRuntime& rt, const std::vector<JobSummary>& jobs, const fs::path& dir,
                 const RunContext& c) {
  sim::Simulator* sim = rt.simulator();
  for (const JobSummary& j : jobs) {
    const int disk = SimDiskOf(j.devicePath);
    if (!sim || disk < 0 || disk >= sim->diskCount()) continue;
    const std::string base = (dir / ("disk" + std::to_string(disk))).string();
    std::string error;
    if (!sim->exportRawNand(disk, base + ".nand", &error))
      std::fprintf(c.err, "kvx-mp: raw NAND of disk %d not written: %s\n", disk, error.c_str());
    // Only a produced disk has a logical view to export.
    if (j.result == 0 && !sim->exportLogicalImage(disk, base + ".img", &error))
      std::fprintf(c.err, "kvx-mp: logical image of disk %d not written: %s\n", disk,
                   error.c_str());
  }
}

// One refresh on a thread of its own, so Ctrl+C can cut it short (a slow or
// hanging disk would otherwise hold the station for the whole walk). False
// when it was interrupted.
bool RefreshUnlessInterrupted(StationRuntime& rt, const RunContext& c) {
  std::atomic<bool> done{false};
  std::thread refresh([&] {
    rt.refreshNow();
    done = true;
  });
  while (!done) {
    // Again and again: a cut that comes before the refresh has begun is lost.
    if (Interrupted(c)) rt.discovery().cutShort();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  refresh.join();
  return !Interrupted(c);
}

}  // namespace

void TerminalOperator::inform(const OperatorMessage& notice) {
  std::fprintf(err_, "kvx-mp: %s: %s\n", notice.title.c_str(), notice.text.c_str());
}

std::string PortListLine(int slot, const std::string& key, const std::string& path,
                         const std::string& text) {
  std::string k = key, p = path;
  k.resize(std::max<std::size_t>(k.size(), 14), ' ');
  p.resize(std::max<std::size_t>(p.size(), 10), ' ');
  return PortButtonCaption(slot) + "  " + k + "  " + p + "  " + text;
}

int ListPorts(StationRuntime& rt, const RunContext& c) {
  if (!RefreshUnlessInterrupted(rt, c)) return kExitInterrupted;
  Station& station = rt.station();
  int shown = 0;
  auto lock = rt.settingsLock();
  for (int k = 0; k < kPortCount; ++k) {
    const FORMATINFO& rec = station.record(k);
    if (!rec.Present.load()) continue;
    const PortView v = station.display(k).snapshot();
    const std::string line =
        PortListLine(k, rec.PortKey, rec.DevicePath, ExpandPercent(v.text, v.percent));
    if (c.outIsTerminal)
      std::fprintf(c.out, "%s%s\033[0m\n", AnsiColour(v.colour), line.c_str());
    else
      std::fprintf(c.out, "%s\n", line.c_str());
    ++shown;
  }
  if (shown == 0) std::fprintf(c.err, "kvx-mp: no disk is attached\n");
  std::fflush(c.out);
  return kExitOk;
}

int Produce(StationRuntime& rt, const MpOptions& o, const RunContext& c) {
  Station& station = rt.station();

  // Set-up first: no job starts when its results could not be kept.
  if (!o.exportDir.empty()) {
    if (!rt.simulator()) return SetupError(c, "--export-dir works only with simulated disks");
    std::error_code ec;
    fs::create_directories(o.exportDir, ec);
    if (ec || !fs::is_directory(o.exportDir, ec))
      return SetupError(c, "export folder " + o.exportDir + " cannot be made: " + ec.message());
  }
  if (!o.reportFile.empty()) {
    const int fd = ::open(o.reportFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
      return SetupError(c, "production log " + o.reportFile + ": " + std::strerror(errno));
    ::close(fd);
  }
  if (o.scanLevel) {
    auto lock = rt.settingsLock();
    const int levels = rt.settings().form().levelCount;
    if (*o.scanLevel >= levels)
      return SetupError(c, "scan level " + std::to_string(*o.scanLevel) + " is not offered (0.." +
                               std::to_string(levels - 1) + " with LevelCount " +
                               std::to_string(levels) + ")");
    rt.settings().ScanLevelChanged(*o.scanLevel);
  }

  if (!RefreshUnlessInterrupted(rt, c)) {
    std::fprintf(c.err, "kvx-mp: interrupted before any job started\n");
    return kExitInterrupted;
  }
  station.StartAll();
  const std::vector<int> started = StartedPorts(station);
  if (started.empty()) {
    // Nothing produced is not a success: a wrong setting would pass unseen.
    std::fprintf(c.err, "kvx-mp: no port could be started (no attached disk was identified)\n");
    return kExitJobFailed;
  }

  // Progress goes where the final lines go; with --json, stdout carries only
  // the JSON, so the table is drawn on a terminal's stderr or not at all.
  const bool showProgress = !o.json || c.errIsTerminal;
  std::FILE* progressOut = o.json ? c.err : c.out;
  const bool terminal = o.json ? c.errIsTerminal : c.outIsTerminal;
  TerminalProgress progress(progressOut, terminal);
  const auto period = std::chrono::milliseconds(terminal ? c.terminalPeriodMs : c.plainPeriodMs);

  bool stopped = false;
  auto nextTick = Clock::now() + std::chrono::seconds(1);
  auto nextDraw = Clock::now();
  auto anyBusy = [&] {
    return std::any_of(started.begin(), started.end(), [&](int k) { return station.busy(k); });
  };
  while (anyBusy()) {
    if (!stopped && Interrupted(c)) {
      // Ctrl+C is the operator's Stop All; the operator answers OK.
      station.StopAll();
      stopped = true;
    }
    const auto now = Clock::now();
    if (now >= nextTick) {
      station.Tick();
      nextTick += std::chrono::seconds(1);
    }
    if (showProgress && now >= nextDraw) {
      progress.draw(LinesOf(station, started));
      nextDraw = now + period;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (showProgress) {
    progress.draw(LinesOf(station, started));
    progress.finish();
  }

  std::vector<JobSummary> jobs;
  for (int k : started) jobs.push_back(SummarizePort(station, k));
  if (o.json) {
    std::fprintf(c.out, "%s\n", JobsToJson(jobs).c_str());
  } else if (!terminal) {
    // On a terminal the table's last redraw already shows the final lines.
    for (const JobSummary& j : jobs) std::fprintf(c.out, "%s\n", FinalLine(j, false).c_str());
  }
  std::fflush(c.out);
  // The result line replaced each failing step's own message; say it here.
  for (const JobSummary& j : jobs)
    if (j.result != 0 && !j.failure.empty())
      std::fprintf(c.err, "kvx-mp: %s %s: %s\n", PortButtonCaption(j.slot).c_str(), j.portKey.c_str(),
                   j.failure.c_str());

  int status = kExitOk;
  for (const JobSummary& j : jobs)
    if (j.result != 0) status = kExitJobFailed;
  if (!o.reportFile.empty()) {
    const std::string error =
        AppendProductionLog(o.reportFile, LocalTimestamp(), fs::absolute(rt.home()).string(), jobs);
    if (!error.empty()) {
      std::fprintf(c.err, "kvx-mp: production log not written: %s\n", error.c_str());
      if (status == kExitOk) status = kExitUsage;
    }
  }
  if (!o.exportDir.empty()) ExportDisks(rt, jobs, o.exportDir, c);
  return stopped ? kExitInterrupted : status;
}

int RunCommand(const MpOptions& o, const RunContext& c) {
  RuntimeOptions ro = c.runtime;
  ro.home = o.home.empty() ? c.exeDir : fs::path(o.home);
  ro.simDisks = o.simDisks;
  ro.simProfile = o.simProfile;
  TerminalOperator op(c.err);
  std::string error;
  auto rt = StationRuntime::Create(ro, op, error);
  if (!rt) return SetupError(c, error);
  for (const auto& w : rt->warnings()) std::fprintf(c.err, "kvx-mp: warning: %s\n", w.c_str());

  int status = kExitOk;
  switch (o.command) {
    case Command::Ports:
      status = ListPorts(*rt, c);
      break;
    case Command::Produce:
      status = Produce(*rt, o, c);
      break;
    case Command::ConfigShow:
    case Command::ConfigGet:
    case Command::ConfigSet:
      status = ConfigCommand(*rt, o, c);
      break;
    case Command::FlashTypesList:
    case Command::FlashTypesExport:
    case Command::FlashTypesImport:
      status = FlashTypesCommand(*rt, o, c);
      break;
    case Command::CodeTypesList:
    case Command::CodeTypesLoad:
      status = CodeTypesCommand(*rt, o, c);
      break;
  }
  rt->shutdown();
  return status;
}

}  // namespace kvx::mp
