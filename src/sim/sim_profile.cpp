#include "sim/sim_profile.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>

namespace kvx::sim {
namespace {

using nlohmann::json;

constexpr int kMaxDisks = 256;  // the handle keeps the disk number in 8 bits
constexpr std::uint32_t kMaxBlocks = 32768;
constexpr std::uint32_t kMaxPagesPerBlock = 256;
constexpr std::uint32_t kMaxSectorsPerPage = 8;
constexpr std::uint32_t kDefaultFlashId = 0xECD35195;

[[noreturn]] void Bad(const std::string& where, const std::string& what) {
  throw ProfileError("simulation profile: " + where + ": " + what);
}

// A number, or a string in decimal or 0x-hexadecimal.
std::uint64_t Num(const json& v, const std::string& where) {
  if (v.is_number_unsigned()) return v.get<std::uint64_t>();
  if (v.is_number_integer()) {
    if (v.get<std::int64_t>() < 0) Bad(where, "negative number");
    return std::uint64_t(v.get<std::int64_t>());
  }
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    try {
      std::size_t used = 0;
      const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
      const std::uint64_t n = std::stoull(hex ? s.substr(2) : s, &used, hex ? 16 : 10);
      if (used == (hex ? s.size() - 2 : s.size())) return n;
    } catch (const std::exception&) {
    }
    Bad(where, "not a number: " + s);
  }
  Bad(where, "not a number");
}

std::uint64_t NumOr(const json& o, const char* key, std::uint64_t fallback, const std::string& where) {
  auto it = o.find(key);
  return it == o.end() ? fallback : Num(*it, where + "." + key);
}

double DblOr(const json& o, const char* key, double fallback, const std::string& where) {
  auto it = o.find(key);
  if (it == o.end()) return fallback;
  if (!it->is_number()) Bad(where + "." + key, "not a number");
  return it->get<double>();
}

std::uint64_t DiskSeed(std::uint64_t seed, int disk, std::uint64_t salt) {
  std::seed_seq seq{std::uint32_t(seed), std::uint32_t(seed >> 32), std::uint32_t(disk),
                    std::uint32_t(salt)};
  std::uint32_t out[2];
  seq.generate(out, out + 2);
  return std::uint64_t(out[0]) << 32 | out[1];
}

Latency ParseLatency(const json& o, const Latency& base, const std::string& where) {
  if (!o.is_object()) Bad(where, "expected an object");
  Latency l = base;
  l.scale = DblOr(o, "scale", l.scale, where);
  l.commandUs = DblOr(o, "commandUs", l.commandUs, where);
  l.readPageUs = DblOr(o, "readPageUs", l.readPageUs, where);
  l.programPageUs = DblOr(o, "programPageUs", l.programPageUs, where);
  l.eraseBlockUs = DblOr(o, "eraseBlockUs", l.eraseBlockUs, where);
  l.perKiBUs = DblOr(o, "perKiBUs", l.perKiBUs, where);
  l.timeoutScale = DblOr(o, "timeoutScale", l.timeoutScale, where);
  return l;
}

std::uint32_t Mask(const json& o, const char* key, std::uint32_t fallback, int bits,
                   const std::string& where) {
  auto it = o.find(key);
  if (it == o.end()) return fallback;
  if (!it->is_array()) Bad(where + "." + key, "expected a list");
  std::uint32_t m = 0;
  for (const auto& v : *it) {
    const auto n = Num(v, where + "." + key);
    if (n >= std::uint64_t(bits)) Bad(where + "." + key, "value too large");
    m |= 1u << n;
  }
  return m;
}

int RandomCount(const json& v, const std::string& where) {
  if (!v.is_object() || !v.contains("random")) return -1;
  const auto n = Num(v["random"], where + ".random");
  if (n > 100000) Bad(where, "too many random defects");
  return int(n);
}

void ParseDefects(const json& o, DiskSpec& d, std::uint64_t seed, const std::string& where) {
  if (!o.is_object()) Bad(where, "expected an object");
  const std::uint32_t blocks = d.geometry.totalBlocks(), P = d.geometry.pagesPerBlock;
  auto checkPlace = [&](std::uint64_t b, std::uint64_t p, const std::string& w) {
    if (b >= blocks) Bad(w, "block out of range");
    if (p >= P) Bad(w, "page out of range");
  };
  if (auto it = o.find("factoryBadBlocks"); it != o.end()) {
    const std::string w = where + ".factoryBadBlocks";
    if (int n = RandomCount(*it, w); n >= 0) {
      AddRandomFactoryBad(d, n, DiskSeed(seed, 0, 1));
    } else {
      if (!it->is_array()) Bad(w, "expected a list or {\"random\": n}");
      for (const auto& v : *it) {
        const auto b = Num(v, w);
        checkPlace(b, 0, w);
        d.defects.factoryBadBlocks.push_back(std::uint32_t(b));
      }
    }
  }
  if (auto it = o.find("weakPages"); it != o.end()) {
    const std::string w = where + ".weakPages";
    if (int n = RandomCount(*it, w); n >= 0) {
      AddRandomWeakPages(d, n, DiskSeed(seed, 0, 2));
    } else {
      if (!it->is_array()) Bad(w, "expected a list or {\"random\": n}");
      for (const auto& v : *it) {
        if (!v.is_object()) Bad(w, "expected an object");
        WeakPage wp;
        wp.block = std::uint32_t(NumOr(v, "block", 0, w));
        wp.page = std::uint32_t(NumOr(v, "page", 0, w));
        checkPlace(wp.block, wp.page, w);
        wp.passMask = std::uint8_t(Mask(v, "passes", 0xFF, 8, w));
        if (auto inv = v.find("invert"); inv != v.end() && !inv->is_null()) {
          const auto i = Num(*inv, w + ".invert");
          if (i > 1) Bad(w + ".invert", "must be 0 or 1");
          wp.invert = int(i);
        }
        wp.visitMask = Mask(v, "visits", 0, 32, w);
        d.defects.weakPages.push_back(wp);
      }
    }
  }
  if (auto it = o.find("programFailPages"); it != o.end()) {
    const std::string w = where + ".programFailPages";
    if (int n = RandomCount(*it, w); n >= 0) {
      AddRandomProgramFails(d, n, DiskSeed(seed, 0, 3));
    } else {
      if (!it->is_array()) Bad(w, "expected a list or {\"random\": n}");
      for (const auto& v : *it) {
        if (!v.is_object()) Bad(w, "expected an object");
        ProgramFailPage p{std::uint32_t(NumOr(v, "block", 0, w)), std::uint32_t(NumOr(v, "page", 0, w))};
        checkPlace(p.block, p.page, w);
        d.defects.programFailPages.push_back(p);
      }
    }
  }
  if (auto it = o.find("wearOut"); it != o.end()) {
    const std::string w = where + ".wearOut";
    if (!it->is_array()) Bad(w, "expected a list");
    for (const auto& v : *it) {
      if (!v.is_object()) Bad(w, "expected an object");
      WearOutBlock b{std::uint32_t(NumOr(v, "block", 0, w)), std::uint32_t(NumOr(v, "erases", 0, w))};
      checkPlace(b.block, 0, w);
      d.defects.wearOutBlocks.push_back(b);
    }
  }
}

std::uint8_t Byte(const json& o, const char* key, std::uint8_t fallback, const std::string& w) {
  const auto n = NumOr(o, key, fallback, w);
  if (n > 255) Bad(w + "." + key, "must fit in a byte");
  return std::uint8_t(n);
}

Faults ParseFaults(const json& o, const std::string& where) {
  if (!o.is_object()) Bad(where, "expected an object");
  Faults f;
  f.unplugAfter = NumOr(o, "unplugAfter", 0, where);
  if (auto it = o.find("unplugOn"); it != o.end()) {
    if (!it->is_array()) Bad(where + ".unplugOn", "expected a list");
    for (const auto& v : *it) {
      const std::string w = where + ".unplugOn";
      if (!v.is_object() || !v.contains("opcode")) Bad(w, "each entry needs an opcode");
      UnplugFault u;
      u.opcode = Byte(v, "opcode", 0, w);
      u.nth = std::uint32_t(std::max<std::uint64_t>(1, NumOr(v, "nth", 1, w)));
      f.unplugOn.push_back(u);
    }
  }
  if (auto it = o.find("timeouts"); it != o.end()) {
    if (!it->is_array()) Bad(where + ".timeouts", "expected a list");
    for (const auto& v : *it) {
      const std::string w = where + ".timeouts";
      if (!v.is_object() || !v.contains("opcode")) Bad(w, "each entry needs an opcode");
      TimeoutFault t;
      t.opcode = Byte(v, "opcode", 0, w);
      t.nth = std::uint32_t(std::max<std::uint64_t>(1, NumOr(v, "nth", 1, w)));
      t.count = std::uint32_t(NumOr(v, "count", 1, w));
      f.timeouts.push_back(t);
    }
  }
  if (auto it = o.find("senses"); it != o.end()) {
    if (!it->is_array()) Bad(where + ".senses", "expected a list");
    for (const auto& v : *it) {
      const std::string w = where + ".senses";
      if (!v.is_object() || !v.contains("opcode")) Bad(w, "each entry needs an opcode");
      SenseFault s;
      s.opcode = Byte(v, "opcode", 0, w);
      s.key = Byte(v, "key", 0, w);
      s.asc = Byte(v, "asc", 0, w);
      s.ascq = Byte(v, "ascq", 0, w);
      if (s.key == 0 || s.key > 15) Bad(w + ".key", "must be a sense key 1..15");
      s.nth = std::uint32_t(std::max<std::uint64_t>(1, NumOr(v, "nth", 1, w)));
      s.count = std::uint32_t(NumOr(v, "count", 1, w));
      f.senses.push_back(s);
    }
  }
  return f;
}

DiskSpec ParseDisk(const json& o, std::uint64_t seed, int index) {
  const std::string where = "disks[" + std::to_string(index) + "]";
  if (!o.is_object()) Bad(where, "expected an object");
  DiskSpec d;
  const std::string kind = o.value("kind", std::string("controller"));
  if (kind == "generic") {
    d.kind = DiskKind::Generic;
    d.genericSectors = NumOr(o, "sectors", 131072, where);
    if (d.genericSectors == 0 || d.genericSectors > 0xFFFFFFFFull) Bad(where + ".sectors", "out of range");
    d.genericVendor = o.value("vendor", d.genericVendor);
    d.genericProduct = o.value("product", d.genericProduct);
  } else if (kind != "controller") {
    Bad(where + ".kind", "must be \"controller\" or \"generic\"");
  }
  Geometry& g = d.geometry;
  g.chips = std::uint32_t(NumOr(o, "chips", 1, where));
  g.blocksPerChip = std::uint32_t(NumOr(o, "blocksPerChip", 1024, where));
  g.pagesPerBlock = std::uint32_t(NumOr(o, "pagesPerBlock", 64, where));
  g.sectorsPerPage = std::uint32_t(NumOr(o, "sectorsPerPage", 4, where));
  if (g.chips < 1 || g.chips > std::uint32_t(kChipSelects)) Bad(where + ".chips", "must be 1..4");
  if (g.blocksPerChip < 1 || std::uint64_t(g.blocksPerChip) * g.chips > kMaxBlocks)
    Bad(where + ".blocksPerChip", "at most 32768 blocks in all");
  if (g.pagesPerBlock < 8 || g.pagesPerBlock > kMaxPagesPerBlock || g.pagesPerBlock % 8 != 0)
    Bad(where + ".pagesPerBlock", "must be a multiple of 8 up to 256");
  if (g.sectorsPerPage < 1 || g.sectorsPerPage > kMaxSectorsPerPage)
    Bad(where + ".sectorsPerPage", "must be 1..8");

  const auto id = std::uint32_t(NumOr(o, "flashId", kDefaultFlashId, where));
  const bool both = o.value("bothLanes", false);
  for (std::uint32_t c = 0; c < g.chips; ++c) d.ids[c] = {id, both ? id : 0};
  if (auto it = o.find("chipSelects"); it != o.end()) {
    if (!it->is_array() || it->size() > std::size_t(kChipSelects))
      Bad(where + ".chipSelects", "expected a list of at most 4");
    d.ids = {};
    for (std::size_t c = 0; c < it->size(); ++c) {
      const auto& v = (*it)[c];
      if (v.is_null()) continue;
      if (!v.is_object()) Bad(where + ".chipSelects", "expected objects");
      d.ids[c] = {std::uint32_t(NumOr(v, "lane0", 0, where + ".chipSelects")),
                  std::uint32_t(NumOr(v, "lane1", 0, where + ".chipSelects"))};
    }
  }
  if (auto it = o.find("defects"); it != o.end())
    ParseDefects(*it, d, DiskSeed(seed, index, 0), where + ".defects");
  if (auto it = o.find("faults"); it != o.end()) d.faults = ParseFaults(*it, where + ".faults");
  if (auto it = o.find("latency"); it != o.end())
    d.latency = ParseLatency(*it, Latency{}, where + ".latency");
  d.plugged = o.value("plugged", true);
  return d;
}

UsbNode ParseNode(const json& v, const std::string& where, int depth) {
  UsbNode n;
  if (v.is_null()) return n;
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    if (s == "empty") return n;
    if (s == "mouse") return n.kind = UsbNode::Kind::Mouse, n;
    if (s == "other") return n.kind = UsbNode::Kind::Other, n;
    Bad(where, "unknown port entry \"" + s + "\"");
  }
  if (!v.is_object()) Bad(where, "expected a port entry");
  if (auto it = v.find("disk"); it != v.end()) {
    n.kind = UsbNode::Kind::Disk;
    n.disk = int(std::min<std::uint64_t>(Num(*it, where + ".disk"), 1u << 30));
    return n;
  }
  if (auto it = v.find("hub"); it != v.end()) {
    // USB allows five hub tiers below the root.
    if (depth >= 5) Bad(where, "hubs nested too deep");
    if (!it->is_array() || it->empty() || it->size() > 255) Bad(where + ".hub", "expected 1..255 ports");
    n.kind = UsbNode::Kind::Hub;
    for (std::size_t i = 0; i < it->size(); ++i)
      n.ports.push_back(ParseNode((*it)[i], where + ".hub[" + std::to_string(i) + "]", depth + 1));
    return n;
  }
  Bad(where, "expected \"disk\" or \"hub\"");
}

void CheckTree(const Profile& p) {
  std::set<int> seen;
  std::set<int> buses;
  auto walk = [&](auto& self, const std::vector<UsbNode>& ports) -> void {
    for (const auto& n : ports) {
      if (n.kind == UsbNode::Kind::Disk) {
        if (n.disk < 0 || n.disk >= int(p.disks.size()))
          throw ProfileError("simulation profile: usb: disk " + std::to_string(n.disk) + " does not exist");
        if (!seen.insert(n.disk).second)
          throw ProfileError("simulation profile: usb: disk " + std::to_string(n.disk) + " is in two ports");
      }
      self(self, n.ports);
    }
  };
  for (const auto& b : p.buses) {
    if (b.bus < 1 || !buses.insert(b.bus).second)
      throw ProfileError("simulation profile: usb: bus numbers must be distinct and >= 1");
    walk(walk, b.ports);
  }
}

}  // namespace

void AddRandomFactoryBad(DiskSpec& d, int count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::uint32_t blocks = d.geometry.totalBlocks();
  std::set<std::uint32_t> chosen(d.defects.factoryBadBlocks.begin(), d.defects.factoryBadBlocks.end());
  // Blocks 0..7 stay good: the system area has to land somewhere near the
  // start, and a demo disk should always produce.
  while (int(chosen.size()) < count + int(d.defects.factoryBadBlocks.size()) &&
         chosen.size() + 8 < blocks) {
    chosen.insert(8 + std::uint32_t(rng() % (blocks - 8)));
  }
  d.defects.factoryBadBlocks.assign(chosen.begin(), chosen.end());
}

void AddRandomWeakPages(DiskSpec& d, int count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (int i = 0; i < count; ++i) {
    WeakPage w;
    w.block = std::uint32_t(rng() % d.geometry.totalBlocks());
    w.page = std::uint32_t(rng() % d.geometry.pagesPerBlock);
    // Fails with one invert bit only (so in every other scan round), either
    // in the read-back pass alone or in both passes.
    w.invert = int(rng() % 2);
    w.passMask = (rng() % 2) ? 0x08 : 0x0C;
    d.defects.weakPages.push_back(w);
  }
}

void AddRandomProgramFails(DiskSpec& d, int count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (int i = 0; i < count; ++i)
    d.defects.programFailPages.push_back({std::uint32_t(rng() % d.geometry.totalBlocks()),
                                          std::uint32_t(rng() % d.geometry.pagesPerBlock)});
}

std::vector<UsbBus> DefaultTree(int disks) {
  constexpr int kHubPorts = 8;
  UsbBus bus;
  bus.bus = 1;
  for (int first = 0; first < disks; first += kHubPorts) {
    UsbNode hub;
    hub.kind = UsbNode::Kind::Hub;
    for (int k = 0; k < kHubPorts; ++k) {
      UsbNode n;
      if (first + k < disks) n.kind = UsbNode::Kind::Disk, n.disk = first + k;
      hub.ports.push_back(n);
    }
    bus.ports.push_back(std::move(hub));
  }
  return {bus};
}

Profile ParseProfile(const std::string& text) {
  json j;
  try {
    j = json::parse(text);
  } catch (const json::exception& e) {
    throw ProfileError(std::string("simulation profile: not JSON: ") + e.what());
  }
  if (!j.is_object()) Bad("top level", "expected an object");
  Profile p;
  p.seed = NumOr(j, "seed", 1, "seed");
  if (auto it = j.find("latency"); it != j.end()) p.latency = ParseLatency(*it, Latency{}, "latency");
  auto disks = j.find("disks");
  if (disks == j.end() || !disks->is_array()) Bad("disks", "a list of disks is required");
  if (disks->size() > std::size_t(kMaxDisks)) Bad("disks", "at most 256 disks");
  for (std::size_t i = 0; i < disks->size(); ++i) p.disks.push_back(ParseDisk((*disks)[i], p.seed, int(i)));
  if (auto it = j.find("usb"); it != j.end()) {
    if (!it->is_array()) Bad("usb", "expected a list of buses");
    for (std::size_t i = 0; i < it->size(); ++i) {
      const auto& b = (*it)[i];
      const std::string w = "usb[" + std::to_string(i) + "]";
      if (!b.is_object() || !b.contains("ports") || !b["ports"].is_array())
        Bad(w, "expected {\"bus\": n, \"ports\": [...]}");
      UsbBus bus;
      bus.bus = int(std::min<std::uint64_t>(NumOr(b, "bus", i + 1, w), 1000));
      for (std::size_t k = 0; k < b["ports"].size(); ++k)
        bus.ports.push_back(ParseNode(b["ports"][k], w + ".ports[" + std::to_string(k) + "]", 0));
      p.buses.push_back(std::move(bus));
    }
  } else {
    p.buses = DefaultTree(int(p.disks.size()));
  }
  CheckTree(p);
  return p;
}

Profile LoadProfile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw ProfileError("simulation profile: cannot read " + path);
  std::stringstream s;
  s << in.rdbuf();
  return ParseProfile(s.str());
}

Latency DemoLatency() {
  // A USB 2.0 bulk-only round trip is ~125 us, a page read ~50 us, a program
  // ~300 us, a block erase ~2 ms; the demo runs them at that pace.
  Latency l;
  l.scale = 1.0;
  l.commandUs = 125;
  l.readPageUs = 50;
  l.programPageUs = 300;
  l.eraseBlockUs = 2000;
  l.perKiBUs = 25;  // ~40 MB/s on the bus
  l.timeoutScale = 0.01;
  return l;
}

Profile ShortFormProfile(int disks, std::uint64_t seed) {
  if (disks < 0 || disks > kMaxDisks) throw ProfileError("simulation profile: 0..256 disks");
  Profile p;
  p.seed = seed;
  p.latency = DemoLatency();
  for (int i = 0; i < disks; ++i) {
    DiskSpec d;
    d.geometry = {1, 256, 32, 4};
    d.ids[0] = {kDefaultFlashId, 0};
    AddRandomFactoryBad(d, 3, DiskSeed(seed, i, 1));
    AddRandomWeakPages(d, 4, DiskSeed(seed, i, 2));
    p.disks.push_back(std::move(d));
  }
  p.buses = DefaultTree(disks);
  return p;
}

}  // namespace kvx::sim
