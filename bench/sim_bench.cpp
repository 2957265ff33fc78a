// Simulator benchmarks: memory of 64 large disks after a format's data-block
// writes, and host CPU per command over a whole production with the latency
// model off. Run: build/bench/kvx_sim_bench (configure with -DKVX_BUILD_BENCH=ON).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "device/commands.h"
#include "format_plan.h"
#include "sim/simulator.h"

namespace kvx::sim {
namespace {

// Resident set of this process in bytes (VmRSS of /proc/self/status).
double ResidentBytes() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) * 1024.0;
  return 0;
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Counts the commands that reach the simulator.
class Counting final : public Transport {
 public:
  explicit Counting(Transport& inner) : inner_(inner) {}
  ScsiResult send(DataDirection d, DeviceHandle h, const Cdb& c, void* b, std::uint32_t n,
                  std::uint8_t lun, std::uint32_t t) override {
    ++count;
    return inner_.send(d, h, c, b, n, lun, t);
  }
  std::uint64_t count = 0;

 private:
  Transport& inner_;
};

DiskSpec BigDisk() {
  DiskSpec d;
  d.geometry = {1, 4096, 64, 4};
  d.ids[0] = {0xECD35195, 0};
  return d;
}

// --- memory ---

void BM_Memory64DisksFirstAndLastGoodPage(benchmark::State& state) {
  for (auto _ : state) {
    const double before = ResidentBytes();
    Profile p;
    for (int i = 0; i < 64; ++i) p.disks.push_back(BigDisk());
    Simulator sim(std::move(p));
    const double empty = ResidentBytes();
    CommandContext ctx{&sim, {}};
    std::vector<std::uint8_t> page(2048, 0x5A);
    std::uint64_t pages = 0;
    for (int i = 0; i < 64; ++i) {
      const DeviceHandle h = sim.open(Simulator::DevicePath(i));
      for (std::uint32_t b = 0; b < 4096; ++b) {
        for (std::uint32_t q : {0u, 63u}) {  // first and G-th (G = 64) good page
          WriteSectors(ctx, h, 0, (b * 64 + q) * 4, 4, 0, 1, page, 20, {std::uint8_t(b), 0, 4});
          ++pages;
        }
      }
    }
    const double programmed = ResidentBytes();
    const double rawPage = 4 * 528.0;
    const double overhead = (programmed - empty) / double(pages) - rawPage;
    state.counters["pages"] = double(pages);
    state.counters["rss_before_MiB"] = before / 1048576.0;
    state.counters["rss_empty_disks_MiB"] = empty / 1048576.0;
    state.counters["rss_programmed_MiB"] = programmed / 1048576.0;
    state.counters["overhead_B_per_page"] = overhead;
    state.counters["overhead_pct_of_2112B"] = 100.0 * overhead / rawPage;
    state.counters["fixed_B_per_block"] = (empty - before) / (64.0 * 4096);
  }
}
BENCHMARK(BM_Memory64DisksFirstAndLastGoodPage)->Iterations(1)->Unit(benchmark::kMillisecond);

// --- a whole production, command for command ---

// One chip; system block 0, table block 1, every other block a data block
// in zones of 256 (factory bad blocks of a demo disk are simply written to,
// which they ignore: the benchmark only counts and times).
test::FormatPlan ProductionPlan(const Geometry& g) {
  test::FormatPlan f;
  f.P = g.pagesPerBlock, f.E = g.sectorsPerPage, f.S = g.sectorsPerPage;
  f.blocksPerChip = g.blocksPerChip, f.totalBlocks = g.blocksPerChip;
  f.codeSectors = 8;
  std::uint32_t b = 2;
  for (int z = 0; b < g.blocksPerChip; ++z) {
    test::FormatPlan::Zone zone;
    zone.good = g.pagesPerBlock;
    while (zone.entries.size() < 256 && b < g.blocksPerChip) zone.entries.push_back(b++);
    zone.counted = std::uint32_t(zone.entries.size()) - (z == 0 ? 6 : 4);
    f.zones.push_back(zone);
  }
  return f;
}

// The commands a production sends, in the order and amounts the station's
// sequence sends them: configuration table and scan code, a scan of two
// sub-passes after a 64-block erase phase, the high format (erase phase,
// system area and table blocks with read-back, first and last good page of
// every data block with read-back), the final code, optionally one logical
// scan pass over zone 0, and 2 MiB of file-system writes with read-back.
std::uint64_t RunProduction(Transport& t, DeviceHandle h, bool logicalScan,
                            const Geometry& g = BigDisk().geometry) {
  CommandContext ctx{&t, {}};
  const test::FormatPlan f = ProductionPlan(g);
  const std::uint32_t B = g.blocksPerChip, P = g.pagesPerBlock, E = g.sectorsPerPage;
  const std::uint32_t pageBytes = E * 512;
  const auto sysInfo = test::BuildSysInfo(f);
  const auto scanCode = test::CodeImage(8, 1), finalCode = test::CodeImage(8);
  std::vector<std::uint8_t> page(pageBytes), back(pageBytes), bm(P / 8), ans(8);
  WriteSectors(ctx, h, 0, 0, 1, 1, 0, sysInfo, 10);
  DownloadCode(ctx, h, 0, 8, scanCode);
  for (std::uint32_t b = 0; b < B; b += 64) EraseBlocks(ctx, h, 0, b, std::min(64u, B - b));
  for (std::uint8_t pass : {2, 3}) {
    for (std::uint32_t b = 0; b < B; ++b) {
      FirmwareScanArgs a;
      a.firstPage = b * P;
      a.pages = std::uint8_t(P);
      a.pass = pass;
      a.seedA = b * 2654435761u;
      a.seedB = b;
      FirmwareScan(ctx, h, a, bm);
    }
  }
  // High format.
  for (std::uint32_t b = 0; b < B; b += 64) EraseBlocks(ctx, h, 0, b, std::min(64u, B - b));
  auto writeCheck = [&](std::uint32_t pageAddress, const std::vector<std::uint8_t>& data, WriteExtra x = {}) {
    std::vector<std::uint8_t> p(pageBytes, 0xFF);
    std::copy(data.begin(), data.begin() + std::min<std::size_t>(data.size(), pageBytes), p.begin());
    WriteSectors(ctx, h, 0, pageAddress * E, std::uint8_t(E), 0, 1, p, 10, x);
    ReadSectors(ctx, h, 0, pageAddress * E, std::uint8_t(E), back, 20);
  };
  EraseBlocks(ctx, h, 0, 0, 1);
  writeCheck(0, sysInfo);
  std::vector<std::uint8_t> zoneInfo(f.zones.size() * 2);
  for (std::size_t z = 0; z < f.zones.size(); ++z)
    zoneInfo[z] = std::uint8_t(f.zones[z].counted), zoneInfo[f.zones.size() + z] = std::uint8_t(P - 1);
  writeCheck(1, zoneInfo);
  writeCheck(2, std::vector<std::uint8_t>(8, 0));
  for (std::uint32_t k = 0; k * pageBytes < finalCode.size(); ++k)
    writeCheck(3 + k, std::vector<std::uint8_t>(finalCode.begin() + k * pageBytes,
                                                 finalCode.begin() + std::min<std::size_t>(finalCode.size(), (k + 1) * pageBytes)));
  EraseBlocks(ctx, h, 0, 1, 1);
  const auto tablePages = test::TablePages(f);
  for (std::size_t q = 0; q < tablePages.size(); ++q) writeCheck(std::uint32_t(P + q), tablePages[q]);
  std::uint32_t rnd = 12345;
  for (const auto& z : f.zones) {
    for (std::uint32_t e = 0; e < z.counted; ++e) {
      const std::uint32_t d = z.entries[e];
      for (auto& v : page) v = std::uint8_t(rnd = rnd * 1103515245u + 12345u);
      EraseBlocks(ctx, h, 0, d, 1);
      WriteSectors(ctx, h, 0, d * P * E, std::uint8_t(E), 0, 1, page, 20, {std::uint8_t(e), 0, std::uint8_t(E)});
      WriteSectors(ctx, h, 0, (d * P + P - 1) * E, std::uint8_t(E), 0, 1, page, 20, {std::uint8_t(e), 0x3E, 0xC4});
      ReadSectors(ctx, h, 0, d * P * E, std::uint8_t(E), back, 20);
      ReadSectors(ctx, h, 0, (d * P + P - 1) * E, std::uint8_t(E), back, 20);
    }
  }
  WriteSectors(ctx, h, 0, 0, 1, 1, 0, sysInfo, 10);
  DownloadCode(ctx, h, 1, 8, finalCode);
  std::uint32_t sectors = 0;
  {
    Cdb c{};
    c[0] = 0x25;
    std::uint8_t cap[8] = {};
    t.send(DataDirection::In, h, c, cap, 8, 0, 5);
    sectors = (std::uint32_t(cap[0]) << 24 | cap[1] << 16 | cap[2] << 8 | cap[3]) + 1;
  }
  if (logicalScan) {
    std::vector<std::uint8_t> pattern(2048, 0x55);
    DiskWrite(ctx, h, 0, 2048, pattern, 0, 5);
    for (std::uint32_t s = 4; s < sectors; s += 4) LogicalPatternFill(ctx, h, s, 2048, ans);
    for (std::uint32_t s = 0; s < sectors; s += 4) LogicalPatternCheck(ctx, h, s, 2048, ans);
  }
  std::vector<std::uint8_t> chunk(65536, 0xA5), chunkBack(65536);
  for (std::uint32_t s = 0; s < 4096; s += 128) {
    DiskWrite(ctx, h, s, 65536, chunk, 0, 5);
    DiskRead(ctx, h, s, 65536, chunkBack, 0, 5);
  }
  return sectors;
}

void BM_ProductionCpuPerCommand(benchmark::State& state) {
  const bool logical = state.range(0) != 0;
  for (auto _ : state) {
    Simulator sim(Profile{1, {}, {BigDisk()}, {}});
    Counting counting(sim);
    const DeviceHandle h = sim.open("sim:0");
    const double cpu0 = ProcessCpuSeconds();
    const std::uint32_t sectors = RunProduction(counting, h, logical);
    const double cpu = ProcessCpuSeconds() - cpu0;
    if (sectors < 1000000) state.SkipWithError("the produced disk did not come up");
    state.counters["commands"] = double(counting.count);
    state.counters["cpu_us_per_command"] = cpu * 1e6 / double(counting.count);
    state.counters["disk_sectors"] = sectors;
  }
}
BENCHMARK(BM_ProductionCpuPerCommand)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// The demo: the short form's 8 disks with the demo latency, one thread per
// disk, each running the production above with one logical-scan pass. Wall
// time is what the operator waits for the simulated part of a demo run.
void BM_DemoEightDisksWallTime(benchmark::State& state) {
  for (auto _ : state) {
    auto sim = Simulator::FromShortForm(8, 1);
    const Geometry g = ShortFormProfile(1).disks[0].geometry;
    std::atomic<int> bad{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 8; ++i)
      workers.emplace_back([&, i] {
        const DeviceHandle h = sim->open(Simulator::DevicePath(i));
        if (RunProduction(*sim, h, true, g) == 0) ++bad;
      });
    for (auto& w : workers) w.join();
    if (bad) state.SkipWithError("a demo disk did not come up");
  }
}
BENCHMARK(BM_DemoEightDisksWallTime)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- single commands ---

struct Formatted {
  Formatted() : sim(Profile{1, {}, {BigDisk()}, {}}), ctx{&sim, {}} {
    h = sim.open("sim:0");
    RunProduction(sim, h, false);
  }
  Simulator sim;
  CommandContext ctx;
  DeviceHandle h;
};

void BM_Read10_64KiB(benchmark::State& state) {
  Formatted f;
  std::vector<std::uint8_t> buf(65536);
  std::uint32_t lba = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(DiskRead(f.ctx, f.h, lba, 65536, buf, 0, 5));
    lba = (lba + 128) % 500000;
  }
}
BENCHMARK(BM_Read10_64KiB);

void BM_Write10_64KiB(benchmark::State& state) {
  Formatted f;
  std::vector<std::uint8_t> buf(65536, 0x33);
  std::uint32_t lba = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(DiskWrite(f.ctx, f.h, lba, 65536, buf, 0, 5));
    lba = (lba + 128) % 500000;
  }
}
BENCHMARK(BM_Write10_64KiB);

void BM_FirmwareScanBlock(benchmark::State& state) {
  Simulator sim(Profile{1, {}, {BigDisk()}, {}});
  CommandContext ctx{&sim, {}};
  const DeviceHandle h = sim.open("sim:0");
  DownloadCode(ctx, h, 0, 8, test::CodeImage(8));
  std::vector<std::uint8_t> bm(8);
  std::uint32_t b = 0;
  for (auto _ : state) {
    if (b % 64 == 0) EraseBlocks(ctx, h, 0, b % 4096, 64);
    FirmwareScanArgs a;
    a.firstPage = (b % 4096) * 64;
    a.pages = 64;
    a.pass = 2;
    benchmark::DoNotOptimize(FirmwareScan(ctx, h, a, bm));
    ++b;
  }
}
BENCHMARK(BM_FirmwareScanBlock);

void BM_ReadSectorsPage(benchmark::State& state) {
  Formatted f;
  std::vector<std::uint8_t> buf(2048);
  std::uint32_t p = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReadSectors(f.ctx, f.h, 0, (p % 262144) * 4, 4, buf, 5));
    p += 63;
  }
}
BENCHMARK(BM_ReadSectorsPage);

}  // namespace
}  // namespace kvx::sim

BENCHMARK_MAIN();
