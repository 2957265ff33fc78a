// kvx-usb-gadget: serves simulated disks as real USB mass-storage devices
// inside a Linux machine that has a UDC (the rig's guest: dummy_hcd). Per
// disk it makes a configfs gadget with a FunctionFS function, speaks the
// bulk-only transport on it and hands every command block to a DeviceAccess
// backend. It binds every gadget, writes the ready file ("<disk> <gadget
// dir> <udc>" per line) and serves until SIGTERM or SIGINT.
//
//   kvx-usb-gadget --disks N --log-dir DIR [--ready FILE] [--sectors S]
//                  [--sense DISK:OPCODE] [--hang DISK:OPCODE] [--unplug DISK:OPCODE]
//                  [--configfs DIR] [--ffs-root DIR]
//   kvx-usb-gadget (--sim N | --sim-profile FILE) --log-dir DIR [--ready FILE] ...
//
// The wire log of disk i is DIR/disk<i>.log. Without --sim the disks are RAM
// disks: --sense makes OPCODE fail with ILLEGAL REQUEST on that disk, --hang
// makes it never answer, --unplug makes the disk unbind itself from its UDC
// when the opcode arrives. With --sim N (N small healthy simulated
// controllers, latency off) or --sim-profile FILE (a simulation profile; its
// faults replace the three rules) every gadget serves one simulated disk,
// "sim:<i>"; unbinding a gadget powers its disk off, binding it powers it on.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/gadget/configfs_gadget.h"
#include "platform/linux/gadget/ffs_mass_storage.h"
#include "platform/linux/gadget/ram_disk.h"
#include "sim/simulator.h"

namespace {

using namespace kvx::gadget;

struct Options {
  int disks = 0;
  int simDisks = 0;        // --sim N
  std::string simProfile;  // --sim-profile FILE
  std::uint32_t sectors = 2048;  // 1 MiB per disk
  std::string logDir, readyFile, configfs = "/sys/kernel/config", ffsRoot = "/dev/ffs";
  std::vector<RamDiskRules> rules;
};

int Usage(const char* why) {
  std::fprintf(stderr,
               "kvx-usb-gadget: %s\nusage: kvx-usb-gadget --disks N --log-dir DIR [--ready FILE] "
               "[--sectors S] [--sense DISK:OPCODE] [--hang DISK:OPCODE] [--unplug DISK:OPCODE] "
               "[--configfs DIR] [--ffs-root DIR]\n"
               "       kvx-usb-gadget (--sim N | --sim-profile FILE) --log-dir DIR [--ready FILE] "
               "[--configfs DIR] [--ffs-root DIR]\n",
               why);
  return 2;
}

// "DISK:OPCODE" with OPCODE in hexadecimal ("2:d4").
bool ParseRule(const std::string& text, int disks, int* disk, std::uint8_t* opcode) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return false;
  char* end = nullptr;
  const long d = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + colon || d < 0 || d >= disks) return false;
  const long op = std::strtol(text.c_str() + colon + 1, &end, 16);
  if (*end != '\0' || op < 0 || op > 0xFF || colon + 1 == text.size()) return false;
  *disk = int(d);
  *opcode = std::uint8_t(op);
  return true;
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* why) {
  std::vector<std::pair<std::string, std::string>> rules;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return *why = "missing value after " + arg, false;
    const std::string value = argv[++i];
    if (arg == "--disks") o->disks = std::atoi(value.c_str());
    else if (arg == "--sectors") o->sectors = std::uint32_t(std::strtoul(value.c_str(), nullptr, 10));
    else if (arg == "--log-dir") o->logDir = value;
    else if (arg == "--ready") o->readyFile = value;
    else if (arg == "--sim") o->simDisks = std::atoi(value.c_str());
    else if (arg == "--sim-profile") o->simProfile = value;
    else if (arg == "--configfs") o->configfs = value;
    else if (arg == "--ffs-root") o->ffsRoot = value;
    else if (arg == "--sense" || arg == "--hang" || arg == "--unplug") rules.emplace_back(arg, value);
    else return *why = "unknown option " + arg, false;
  }
  const bool sim = o->simDisks != 0 || !o->simProfile.empty();
  if (o->simDisks != 0 && !o->simProfile.empty())
    return *why = "--sim and --sim-profile exclude each other", false;
  if (sim && (o->disks != 0 || !rules.empty()))
    return *why = "--disks, --sense, --hang and --unplug are for RAM disks, not with --sim", false;
  if (o->simDisks < 0 || o->simDisks > 32) return *why = "--sim must be 1..32", false;
  if (sim) o->disks = o->simDisks;  // a profile's count is known once it is read
  else if (o->disks < 1 || o->disks > 32) return *why = "--disks must be 1..32", false;
  if (o->sectors < 1) return *why = "--sectors must be positive", false;
  if (o->logDir.empty()) return *why = "--log-dir is required", false;
  o->rules.resize(std::size_t(o->disks));
  for (const auto& [kind, value] : rules) {
    int disk = 0;
    std::uint8_t opcode = 0;
    if (!ParseRule(value, o->disks, &disk, &opcode)) return *why = "bad rule " + kind + " " + value, false;
    RamDiskRules& r = o->rules[std::size_t(disk)];
    (kind == "--sense" ? r.senseOpcode : kind == "--hang" ? r.hangOpcode : r.unplugOpcode) = opcode;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string why;
  if (!ParseOptions(argc, argv, &options, &why)) return Usage(why.c_str());

  // SIGTERM and SIGINT are taken by sigwait below; every thread inherits the mask.
  sigset_t quit;
  sigemptyset(&quit);
  sigaddset(&quit, SIGTERM);
  sigaddset(&quit, SIGINT);
  pthread_sigmask(SIG_BLOCK, &quit, nullptr);
  InstallWakeSignal();

  // The backend seam: RAM disks, or one simulated controller per gadget.
  std::unique_ptr<kvx::sim::Simulator> sim;
  std::unique_ptr<RamDiskAccess> ramDisks;
  try {
    if (!options.simProfile.empty()) {
      sim = kvx::sim::Simulator::FromFile(options.simProfile);
    } else if (options.simDisks > 0) {
      sim = kvx::sim::Simulator::FromShortForm(options.simDisks);
      sim->setLatency(kvx::sim::Latency{});  // the guest's emulated CPU is slow enough
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvx-usb-gadget: %s\n", e.what());
    return 2;
  }
  if (sim) {
    options.disks = sim->diskCount();
    if (options.disks < 1 || options.disks > 32) return Usage("a simulation needs 1..32 disks");
  } else {
    ramDisks = std::make_unique<RamDiskAccess>(options.disks, options.sectors, options.rules);
  }
  kvx::DeviceAccess& backend = sim ? static_cast<kvx::DeviceAccess&>(*sim) : *ramDisks;

  const std::vector<std::string> udcs = ListUdcs();
  if (int(udcs.size()) < options.disks) {
    std::fprintf(stderr, "kvx-usb-gadget: %d disks need as many UDCs, found %zu\n", options.disks,
                 udcs.size());
    return 1;
  }

  std::vector<std::unique_ptr<ConfigfsGadget>> gadgets;
  std::vector<std::unique_ptr<FfsMassStorage>> disks;
  auto fail = [&](const std::string& what) {
    std::fprintf(stderr, "kvx-usb-gadget: %s\n", what.c_str());
    disks.clear();
    gadgets.clear();
    return 1;
  };
  for (int i = 0; i < options.disks; ++i) {
    GadgetIdentity id;
    id.name = "kvx" + std::to_string(i);
    char serial[16];
    std::snprintf(serial, sizeof serial, "4B5658%06X", unsigned(i));
    id.serial = serial;
    gadgets.push_back(std::make_unique<ConfigfsGadget>(options.configfs, options.ffsRoot, id));
    ConfigfsGadget* gadget = gadgets.back().get();
    std::string error;
    if (!gadget->create(&error)) return fail(error);
    FfsDiskConfig config;
    config.ffsDir = gadget->ffsDir();
    config.logPath = options.logDir + "/disk" + std::to_string(i) + ".log";
    config.backendPath = sim ? kvx::sim::Simulator::DevicePath(i) : "ram:" + std::to_string(i);
    config.unplug = [gadget] { gadget->unbind(nullptr); };
    if (sim) {
      // A USB disk is powered by its port: unbound, the controller loses its
      // RAM state; bound again, it boots from what its flash holds.
      kvx::sim::Simulator* s = sim.get();
      config.power = [s, i](bool powered) { powered ? s->plug(i) : s->unplug(i); };
    }
    disks.push_back(std::make_unique<FfsMassStorage>(config, backend));
    if (!disks.back()->prepare(&error)) return fail("disk " + std::to_string(i) + ": " + error);
    disks.back()->start();
  }
  std::string ready;
  for (int i = 0; i < options.disks; ++i) {
    std::string error;
    if (!gadgets[std::size_t(i)]->bind(udcs[std::size_t(i)], &error)) return fail(error);
    ready += std::to_string(i) + " " + gadgets[std::size_t(i)]->gadgetDir() + " " +
             udcs[std::size_t(i)] + "\n";
  }
  if (!options.readyFile.empty()) {
    const std::string temp = options.readyFile + ".tmp";
    std::ofstream(temp) << ready;
    std::rename(temp.c_str(), options.readyFile.c_str());
  }
  std::fputs(ready.c_str(), stdout);
  std::fflush(stdout);

  int signal = 0;
  sigwait(&quit, &signal);
  for (auto& g : gadgets) g->unbind(nullptr);
  disks.clear();
  gadgets.clear();
  return 0;
}
