#include "station_checks.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/udev_hotplug.h"
#include "platform/linux/volume_mounts.h"
#include "rig_support.h"

namespace kvx::rig {
namespace {

Report report;

struct Options {
  std::string phase, kvxMp, home, logDir, readyFile, mountRoot, fsck;
  int disks = 0, unplugDisk = -1, hangDisk = -1;
  std::uint8_t hangOpcode = 0;
  int hangTimeoutS = 0;
  std::uint64_t unplugAfter = 0;
};

struct Gadget {
  std::string configDir, udc;
  SgNode node;
  std::string portKey;  // "Port-" + the USB device's sysfs name
};

// ------------------------------------------------------------ child programs
struct Line {
  std::uint64_t ms;
  std::string text;
};
struct Run {
  int exitCode = -1;  // -1: killed or not started
  std::uint64_t startMs = 0, endMs = 0;
  std::vector<Line> lines;
  std::string output() const {
    std::string s;
    for (const auto& l : lines) s += l.text + "\n";
    return s;
  }
};

// Runs `argv` with stdout and stderr in one pipe, timestamps every line, and
// kills the program after `limitS` seconds (the rig must never hang on it).
Run RunProgram(const std::vector<std::string>& argv, int limitS,
               const std::function<void(const Line&)>& onLine = {}) {
  Run run;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return run;
  run.startMs = NowMs();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::fprintf(stderr, "exec %s: %s\n", args[0], std::strerror(errno));
    ::_exit(127);
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    return run;
  }
  std::atomic<bool> done{false};
  std::thread killer([&] {
    for (int i = 0; i < limitS * 10 && !done.load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!done.load()) ::kill(pid, SIGKILL);
  });
  std::string pending;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n < 0) continue;
    pending.append(buf, std::size_t(n));
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      Line l{NowMs(), pending.substr(0, nl)};
      pending.erase(0, nl + 1);
      if (onLine) onLine(l);
      run.lines.push_back(std::move(l));
    }
  }
  if (!pending.empty()) run.lines.push_back({NowMs(), pending});
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.endMs = NowMs();
  done = true;
  killer.join();
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string t; in >> t;) w.push_back(t);
  return w;
}

// ------------------------------------------------------------------ gadgets
std::map<int, Gadget> FindGadgets(const Options& o, const char* check) {
  std::map<int, Gadget> out;
  std::ifstream ready(o.readyFile);
  int disk;
  std::string dir, udc;
  while (ready >> disk >> dir >> udc) out[disk] = {dir, udc, {}, {}};
  for (int d = 0; d < o.disks; ++d) {
    std::uint64_t took = 0;
    const auto n = WaitForGadget(d, 90000, &took);
    report.check(n.has_value() && out.count(d), check,
                 Format("simulated disk %d: %s after %llu ms", d,
                        n ? ("/dev/" + n->name + " at USB " + n->usbDevice).c_str() : "no sg node",
                        (unsigned long long)took));
    if (!n || !out.count(d)) {
      out.erase(d);
      continue;
    }
    out[d].node = *n;
    out[d].portKey = "Port-" + n->busnum + "-" + n->devpath;
  }
  return out;
}

bool Plug(const Gadget& g, bool on) {
  return WriteText(g.configDir + "/UDC", on ? g.udc + "\n" : "\n");
}

std::size_t CountCbws(const std::string& logPath) {
  std::ifstream in(logPath);
  std::size_t n = 0;
  for (std::string line; std::getline(in, line);) n += line.find(" CBW ") != std::string::npos;
  return n;
}

std::string LogOf(const Options& o, int disk) {
  return o.logDir + "/disk" + std::to_string(disk) + ".log";
}

// ------------------------------------------------------------- other disks
std::map<std::string, std::uint32_t> ChecksumOthers(const std::map<int, Gadget>& gadgets) {
  std::map<std::string, std::uint32_t> out;
  for (const auto& n : ScanSgNodes()) {
    bool ours = false;
    for (const auto& [d, g] : gadgets) ours |= g.node.name == n.name;
    if (ours || n.blockName.empty()) continue;
    std::uint64_t bytes = 0;
    if (const auto crc = DeviceCrc("/dev/" + n.blockName, &bytes))
      out["/dev/" + n.blockName] = *crc;
  }
  return out;
}

// ------------------------------------------------------------------- ports
void CheckPorts(const Options& o, const std::map<int, Gadget>& gadgets) {
  const Run run = RunProgram({o.kvxMp, "--home", o.home, "ports"}, 120);
  for (const auto& l : run.lines) report.note("station-ports", "kvx-mp ports: " + l.text);
  report.check(run.exitCode == 0, "station-ports", Format("kvx-mp ports exit %d", run.exitCode));
  // "Port-<slot>  <port key>  <device path>  <status>"; a port without a disk has no "/dev/" path.
  std::map<std::string, std::string> keyOfPath, statusOfPath;
  int identified = 0;
  for (const auto& l : run.lines) {
    const auto w = Words(l.text);
    if (w.size() < 3 || w[2].rfind("/dev/", 0) != 0) continue;
    keyOfPath[w[2]] = w[1];
    statusOfPath[w[2]] = l.text.substr(l.text.find(w[2]) + w[2].size());
    identified += l.text.find("FlashID = 0x") != std::string::npos;
  }
  for (const auto& [d, g] : gadgets) {
    const std::string path = "/dev/" + g.node.name;
    const auto it = keyOfPath.find(path);
    report.check(it != keyOfPath.end() && it->second == g.portKey, "station-ports",
                 Format("simulated disk %d (%s) listed on %s; sysfs says %s", d, path.c_str(),
                        it == keyOfPath.end() ? "no port" : it->second.c_str(), g.portKey.c_str()));
  }
  // Every disk on a USB port gets a slot, ours or not (the slot walk does not
  // ask what a disk is); a disk without our controller is never identified.
  // A disk that is not on USB never gets one.
  for (const auto& n : ScanSgNodes()) {
    bool ours = false;
    for (const auto& [d, g] : gadgets) ours |= g.node.name == n.name;
    if (ours) continue;
    const std::string path = "/dev/" + n.name;
    const bool listed = keyOfPath.count(path) != 0;
    const std::string status = listed ? statusOfPath[path] : std::string();
    if (n.usbDevice.empty())
      report.check(!listed, "station-ports",
                   Format("%s (%s %s, not on USB) is not listed", path.c_str(), n.vendor.c_str(),
                          n.model.c_str()));
    else
      report.check(!listed || (keyOfPath[path] == "Port-" + n.busnum + "-" + n.devpath &&
                               status.find("No flash") != std::string::npos),
                   "station-ports",
                   Format("%s (%s %s on USB %s) is not ours: %s", path.c_str(), n.vendor.c_str(),
                          n.model.c_str(), n.usbDevice.c_str(),
                          listed ? ("its slot " + keyOfPath[path] + " shows" + status).c_str()
                                 : "not listed"));
  }
  report.check(
      identified == o.disks, "station-ports",
      Format("%d ports with an identified flash for %d simulated disks", identified, o.disks));
}

// ------------------------------------------------------------------ produce
struct Job {
  int result = -1;
  std::string colour, text, path, key;
  double elapsed = 0;
};

std::map<std::string, Job> ParseJobs(const std::string& json) {
  std::map<std::string, Job> out;
  const auto begin = json.find('[');
  if (begin == std::string::npos) return out;
  try {
    for (const auto& j : nlohmann::json::parse(json.substr(begin))) {
      Job job;
      job.result = j.value("result", -1);
      job.colour = j.value("colour", "");
      job.text = j.value("final_text", "");
      job.path = j.value("device_path", "");
      job.key = j.value("port_key", "");
      job.elapsed = j.value("elapsed_seconds", 0.0);
      out[job.path] = job;
    }
  } catch (const std::exception& e) {
    report.fail("station-produce",
                std::string("kvx-mp produce --json printed no valid JSON: ") + e.what());
  }
  return out;
}

void CheckProduce(const Options& o, const std::map<int, Gadget>& gadgets) {
  std::map<int, std::size_t> cbwsBefore;
  for (const auto& [d, g] : gadgets) cbwsBefore[d] = CountCbws(LogOf(o, d));
  const auto before = ChecksumOthers(gadgets);
  const Run run = RunProgram({o.kvxMp, "--home", o.home, "produce", "--json"}, 600);
  report.check(run.exitCode == 0, "station-produce",
               Format("kvx-mp produce --json exit %d after %llu ms", run.exitCode,
                      (unsigned long long)(run.endMs - run.startMs)));
  const auto jobs = ParseJobs(run.output());
  if (jobs.empty()) report.note("station-produce", "kvx-mp output: " + run.output());
  for (const auto& [d, g] : gadgets) {
    const auto it = jobs.find("/dev/" + g.node.name);
    const std::size_t cbws = CountCbws(LogOf(o, d)) - cbwsBefore[d];
    if (it == jobs.end()) {
      report.fail("station-produce",
                  Format("simulated disk %d (/dev/%s) has no job", d, g.node.name.c_str()));
      continue;
    }
    const Job& j = it->second;
    report.check(
        j.result == 0 && j.key == g.portKey, "station-produce",
        Format("simulated disk %d on %s: result %d, %s, '%s', %.0f s, %zu commands on the wire", d,
               j.key.c_str(), j.result, j.colour.c_str(), j.text.c_str(), j.elapsed, cbws));
    std::ofstream(o.logDir + "/production-cbws." + std::to_string(d)) << cbws << "\n";
  }
  std::string others;
  for (const auto& [path, job] : jobs) {
    bool ours = false;
    for (const auto& [d, g] : gadgets) ours |= path == "/dev/" + g.node.name;
    if (!ours) others += " " + path;
  }
  report.check(jobs.size() == gadgets.size() && others.empty(), "station-produce",
               Format("%zu jobs for %zu simulated disks; jobs on other disks:%s", jobs.size(),
                      gadgets.size(), others.empty() ? " none" : others.c_str()));
  // The station mounted each volume for its folder copy; it gives it back.
  for (const auto& [d, g] : gadgets) {
    const auto mounts = MountsOf("/dev/" + g.node.name);
    std::string where;
    for (const auto& m : mounts) where += " " + m.string();
    report.check(mounts.empty(), "station-copy",
                 Format("disk %d: nothing of /dev/%s stays mounted after kvx-mp ended:%s", d,
                        g.node.name.c_str(), where.empty() ? " none" : where.c_str()));
  }
  const auto after = ChecksumOthers(gadgets);
  report.check(
      before.size() >= 2 && before == after, "station-bystanders",
      Format("%zu disks that are not ours kept every byte through the production (CRC-32 of the "
             "block devices)",
             before.size()));
}

// ---------------------------------------------------- re-plug, mount, fsck
std::string Tail(const std::string& s, std::size_t n) {
  return s.size() <= n ? s : "..." + s.substr(s.size() - n);
}

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\n') c = '|';
  return s;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every file under `source` is under `copy` with the same bytes; the first
// difference, or an empty text.
std::string CompareTrees(const fs::path& source, const fs::path& copy, std::size_t* files,
                         std::size_t* bytes) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(source, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    const fs::path rel = it->path().lexically_relative(source);
    const std::string want = ReadAll(it->path()), got = ReadAll(copy / rel);
    if (!fs::exists(copy / rel)) return rel.string() + " is missing";
    if (got != want)
      return rel.string() + Format(" differs (%zu bytes, %zu expected)", got.size(), want.size());
    ++*files;
    *bytes += want.size();
  }
  return ec ? source.string() + ": " + ec.message() : std::string();
}

void CheckProducedVolumes(const Options& o, std::map<int, Gadget>& gadgets) {
  std::atomic<int> changes{0};
  UdevHotplugSource hotplug;
  hotplug.start([&] { ++changes; });
  report.check(hotplug.lastError().empty(), "station-hotplug",
               "the station's hot-plug source listens" +
                   (hotplug.lastError().empty() ? std::string() : ": " + hotplug.lastError()));
  for (auto& [d, g] : gadgets) {
    // What the kernel knows of the disk the production changed behind its back.
    // A blank disk showed no medium when it arrived; for its folder copy the
    // station made the kernel read it again.
    const auto blocks = BlockDevicesOf("/dev/" + g.node.name, MountPaths{});
    const std::string size = ReadText("/sys/class/block/" + g.node.blockName + "/size");
    report.check(blocks.size() >= 2 && std::atoll(size.c_str()) > 0, "station-volume",
                 Format("disk %d before the re-plug: block devices %zu, %s has %s sectors", d,
                        blocks.size(), g.node.blockName.c_str(), size.c_str()));
    const int atStart = changes.load();
    const bool unbound = Plug(g, false);
    std::uint64_t goneMs = 0;
    const bool gone = unbound && WaitGone(g.node.name, 10000, &goneMs);
    std::this_thread::sleep_for(
        std::chrono::milliseconds(300));  // the removal events trail the node
    const int afterUnplug = changes.load();
    report.check(gone && afterUnplug > atStart, "station-hotplug",
                 Format("disk %d unplugged: /dev/%s gone after %llu ms, %d hot-plug notices", d,
                        g.node.name.c_str(), (unsigned long long)goneMs, afterUnplug - atStart));
    std::uint64_t took = 0;
    const auto again = Plug(g, true) ? WaitForGadget(d, 60000, &took) : std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    report.check(again.has_value() && changes.load() > afterUnplug, "station-hotplug",
                 Format("disk %d plugged back: %s after %llu ms, %d hot-plug notices", d,
                        again ? ("/dev/" + again->name).c_str() : "no sg node",
                        (unsigned long long)took, changes.load() - afterUnplug));
    if (!again) continue;
    g.node = *again;
  }
  hotplug.stop();

  for (auto& [d, g] : gadgets) {
    const std::string sg = "/dev/" + g.node.name;
    // The block device and its partitions appear a moment after the sg node.
    std::vector<std::string> blocks;
    for (int i = 0; i < 100 && blocks.size() < 2; ++i) {
      blocks = BlockDevicesOf(sg, MountPaths{});
      if (blocks.size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string whole = blocks.empty() ? std::string() : blocks.back();
    const std::string sectors =
        whole.empty() ? "" : ReadText("/sys/class/block/" + whole + "/size");
    report.check(!blocks.empty() && std::atoll(sectors.c_str()) > 0, "station-volume",
                 Format(
                     "disk %d after the re-plug: %s, block devices [%s], %s sectors", d, sg.c_str(),
                     [&] {
                       std::string s;
                       for (const auto& b : blocks) s += (s.empty() ? "" : " ") + b;
                       return s;
                     }()
                         .c_str(),
                     sectors.c_str()));
    if (blocks.empty()) continue;
    const std::string volume = "/dev/" + blocks.front();
    if (!o.fsck.empty()) {
      const Run fsck = RunProgram({o.fsck, "-n", "-v", volume}, 60);
      report.check(fsck.exitCode == 0, "station-fsck",
                   Format("fsck.fat -n %s exit %d: %s", volume.c_str(), fsck.exitCode,
                          OneLine(Tail(fsck.output(), 600)).c_str()));
    }
    const std::string mountPoint = o.mountRoot + "/disk" + std::to_string(d);
    ::mkdir(o.mountRoot.c_str(), 0755);
    ::mkdir(mountPoint.c_str(), 0755);
    const bool mounted = ::mount(volume.c_str(), mountPoint.c_str(), "vfat", 0,
                                 "codepage=437,iocharset=iso8859-1,utf8") == 0;
    report.check(mounted, "station-mount",
                 Format("the kernel's vfat driver mounts %s on %s: %s", volume.c_str(),
                        mountPoint.c_str(), mounted ? "yes" : std::strerror(errno)));
    if (!mounted) continue;
    const fs::path found = MountedVolumeOf(sg);
    report.check(found == mountPoint, "station-mount",
                 Format("the station's mount lookup finds the volume of %s at '%s'", sg.c_str(),
                        found.c_str()));
    std::string entries;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(mountPoint, ec))
      entries += " " + e.path().filename().string();
    report.note("station-mount",
                Format("disk %d root:%s", d, entries.empty() ? " (empty)" : entries.c_str()));
    std::size_t files = 0, bytes = 0;
    const std::string difference =
        CompareTrees(o.home + "/Zone0Files", mountPoint, &files, &bytes);
    report.check(difference.empty() && files > 0, "station-copy",
                 Format("the production's folder copy is on the kernel's vfat mount of disk %d: "
                        "%zu files, %zu bytes%s",
                        d, files, bytes,
                        difference.empty() ? ", every one the same" : (": " + difference).c_str()));
    // A file written through the kernel's driver reads back after a remount.
    const std::string probe = mountPoint + "/RIGPROBE.TXT",
                      text = "written by the rig on disk " + std::to_string(d);
    std::ofstream(probe) << text;
    const bool unmounted = ::umount(mountPoint.c_str()) == 0;
    const bool remounted = unmounted && ::mount(volume.c_str(), mountPoint.c_str(), "vfat",
                                                MS_RDONLY, "codepage=437,iocharset=iso8859-1,utf8") == 0;
    const std::string back = remounted ? ReadText(probe) : std::string();
    report.check(back == text, "station-mount",
                 Format("a file written on the mounted volume reads back after a remount: '%s'",
                        back.c_str()));
    if (remounted) ::umount(mountPoint.c_str());
    if (!o.fsck.empty()) {
      const Run fsck = RunProgram({o.fsck, "-n", volume}, 60);
      report.check(
          fsck.exitCode == 0, "station-fsck",
          Format("fsck.fat -n %s after the kernel wrote to it: exit %d: %s", volume.c_str(),
                 fsck.exitCode, OneLine(Tail(fsck.output(), 300)).c_str()));
    }
  }
}

// ------------------------------------------------------------------ faults
// "[red] Port-2   Port-3-1   <text>": the colour and port key of a progress line.
bool ProgressLine(const std::string& text, std::string* colour, std::string* key) {
  if (text.size() < 3 || text[0] != '[') return false;
  const auto close = text.find(']');
  const auto w = Words(text.substr(close + 1));
  if (close == std::string::npos || w.size() < 2) return false;
  *colour = text.substr(1, close - 1);
  *key = w[1];
  return true;
}

void CheckFaults(const Options& o, std::map<int, Gadget>& gadgets) {
  if (!gadgets.count(o.unplugDisk) || !gadgets.count(o.hangDisk)) {
    report.fail("station-faults", "the unplug and the silent disk must both be there");
    return;
  }
  const Gadget victim = gadgets.at(o.unplugDisk);
  std::atomic<bool> finished{false};
  std::atomic<std::uint64_t> unplugAt{0};
  std::atomic<std::size_t> cbwsAtUnplug{0};
  // Unbinds the victim once its wire log shows the production under way.
  std::thread unplugger([&] {
    while (!finished.load()) {
      const std::size_t n = CountCbws(LogOf(o, o.unplugDisk));
      if (n >= o.unplugAfter) {
        cbwsAtUnplug = n;
        unplugAt = NowMs();
        Plug(victim, false);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  std::map<std::string, std::uint64_t> firstRed;  // port key -> when its bar turned red
  const Run run = RunProgram({o.kvxMp, "--home", o.home, "produce"}, 600, [&](const Line& l) {
    std::string colour, key;
    if (ProgressLine(l.text, &colour, &key) && colour == "red" && !firstRed.count(key))
      firstRed[key] = l.ms;
  });
  finished = true;
  unplugger.join();
  for (const auto& l : run.lines)
    report.note("station-faults",
                Format("+%llu ms ", (unsigned long long)(l.ms - run.startMs)) + l.text);
  report.check(run.exitCode == 1, "station-faults",
               Format("kvx-mp produce ended after %llu ms with exit %d (1: a job failed)",
                      (unsigned long long)(run.endMs - run.startMs), run.exitCode));

  // Final lines: "Port-<slot>  <key>  <device path>  <colour>  <text>".
  std::map<std::string, std::string> colourOf, textOf;
  for (const auto& l : run.lines) {
    const auto w = Words(l.text);
    if (w.size() >= 4 && w[0].rfind("Port-", 0) == 0 && w[2].rfind("/dev/", 0) == 0) {
      colourOf[w[1]] = w[3];
      textOf[w[1]] = l.text;
    }
  }
  for (const auto& [d, g] : gadgets) {
    const std::string colour = colourOf.count(g.portKey) ? colourOf[g.portKey] : "missing";
    if (d == o.unplugDisk) {
      const std::uint64_t at = unplugAt.load();
      const bool red = firstRed.count(g.portKey) && at != 0;
      const std::uint64_t after = red ? firstRed[g.portKey] - at : 0;
      report.check(
          at != 0, "station-unplug",
          Format("disk %d unbound in the middle of its production, with %zu commands on its wire "
                 "(threshold %llu)",
                 d, cbwsAtUnplug.load(), (unsigned long long)o.unplugAfter));
      report.check(red && colour == "red" && firstRed[g.portKey] >= at && after <= 10000,
                   "station-unplug",
                   Format("its port %s turned red %llu ms after the unplug and ends %s: %s",
                          g.portKey.c_str(), (unsigned long long)after, colour.c_str(),
                          textOf[g.portKey].c_str()));
    } else if (d == o.hangDisk) {
      // The gadget logs "silent" when the simulator keeps a command unanswered.
      std::uint64_t silentAt = 0;
      for (const auto& e : ReadLog(LogOf(o, d)))
        if (silentAt == 0 && e.text.find(" silent ") != std::string::npos) silentAt = e.ms;
      const bool red = firstRed.count(g.portKey) && silentAt != 0;
      const std::uint64_t after = red ? firstRed[g.portKey] - silentAt : 0;
      report.check(
          red && colour == "red" && after + 500 >= std::uint64_t(o.hangTimeoutS) * 1000 &&
              after <= std::uint64_t(o.hangTimeoutS) * 1000 + 15000,
          "station-timeout",
          Format("disk %d: opcode %02x never answered; its port %s turned red %llu ms later (SG_IO "
                 "timeout %d s) and ends %s: %s",
                 d, o.hangOpcode, g.portKey.c_str(), (unsigned long long)after, o.hangTimeoutS,
                 colour.c_str(), textOf[g.portKey].c_str()));
    } else {
      report.check(colour == "blue" && !firstRed.count(g.portKey), "station-faults",
                   Format("disk %d on %s finished its production while the others failed: %s", d,
                          g.portKey.c_str(), textOf[g.portKey].c_str()));
    }
  }
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--phase")
      o->phase = v;
    else if (a == "--disks")
      o->disks = std::atoi(v.c_str());
    else if (a == "--kvx-mp")
      o->kvxMp = v;
    else if (a == "--home")
      o->home = v;
    else if (a == "--log-dir")
      o->logDir = v;
    else if (a == "--ready")
      o->readyFile = v;
    else if (a == "--mount-root")
      o->mountRoot = v;
    else if (a == "--fsck")
      o->fsck = v;
    else if (a == "--unplug-disk")
      o->unplugDisk = std::atoi(v.c_str());
    else if (a == "--hang-disk")
      o->hangDisk = std::atoi(v.c_str());
    else if (a == "--hang-opcode")
      o->hangOpcode = std::uint8_t(std::strtoul(v.c_str(), nullptr, 16));
    else if (a == "--hang-timeout")
      o->hangTimeoutS = std::atoi(v.c_str());
    else if (a == "--unplug-after")
      o->unplugAfter = std::strtoull(v.c_str(), nullptr, 10);
    else
      return false;
  }
  if (o->disks < 1 || o->kvxMp.empty() || o->home.empty() || o->logDir.empty() ||
      o->readyFile.empty())
    return false;
  if (o->phase == "healthy") return !o->mountRoot.empty();
  return o->phase == "faults" && o->unplugDisk >= 0 && o->hangDisk >= 0 &&
         o->unplugDisk != o->hangDisk && o->hangTimeoutS > 0 && o->unplugAfter > 0;
}

}  // namespace

int RunStationChecks(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::puts("RIG FAIL station-setup: bad arguments (see station_checks.h)");
    std::puts("RIG END station pass=0 fail=1");
    return 2;
  }
  const std::uint64_t t0 = NowMs();
  auto gadgets = FindGadgets(o, "station-enumerate");
  if (o.phase == "healthy") {
    CheckPorts(o, gadgets);
    CheckProduce(o, gadgets);
    CheckProducedVolumes(o, gadgets);
  } else {
    CheckFaults(o, gadgets);
  }
  report.note("time", Format("station-%s checks took %llu ms", o.phase.c_str(),
                             (unsigned long long)(NowMs() - t0)));
  std::printf("RIG END station-%s pass=%d fail=%d\n", o.phase.c_str(), report.passed,
              report.failed);
  return report.failed == 0 ? 0 : 1;
}

}  // namespace kvx::rig
