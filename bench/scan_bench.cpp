// Benchmarks of the bad-block scan: the visiting order of a full 32768-block
// flash, and a whole scan of a simulated 32768-block disk with the latency
// model off (so the figure is the station's own host cost plus the
// simulator's).
#include <benchmark/benchmark.h>

#include "device/device_router.h"
#include "engine/station.h"
#include "flash/bad_block_scan.h"
#include "sim/sim_profile.h"
#include "sim/simulator.h"

namespace kvx {
namespace {

void BM_VisitingOrder32768(benchmark::State& state) {
  std::uint64_t seed = 1;
  for (auto _ : state) benchmark::DoNotOptimize(VisitingOrder(32768, seed++));
}
BENCHMARK(BM_VisitingOrder32768)->Unit(benchmark::kMicrosecond);

class NoSequence : public ProductionSequence {
  std::int32_t RunProduction(PortJob&) override { return 0; }
  std::int32_t RunHighFormatOnly(PortJob&) override { return 0; }
};

void BM_FullScan32768Blocks(benchmark::State& state) {
  sim::Profile p;
  sim::DiskSpec d;
  d.geometry = {2, 16384, 64, 4};
  d.ids[0] = {0xECD35195, 0};
  sim::AddRandomFactoryBad(d, 40, 3);
  sim::AddRandomWeakPages(d, 40, 4);
  p.disks = {d};
  p.buses = sim::DefaultTree(1);
  sim::Simulator simulator(p);
  DeviceRouter router;
  router.addBackend(sim::Simulator::kPathPrefix, &simulator);
  NoSequence sequence;
  FixedAnswerOperator op{true};
  Station station(router, sequence, op, Language::English);
  FORMATINFO& rec = station.record(0);
  rec.hDevice = router.open("sim:0");
  const FlashGeometry g{2, 16384, 64, 4, 4};
  // The scan firmware must be in: send a code with a valid checksum.
  std::vector<std::uint8_t> code(512, 0);
  for (auto _ : state) {
    state.PauseTiming();
    DownloadCode(station.commands(0), rec.hDevice, 0, 1, code);
    rec.Running = 1;
    rec.BadPages = 0;
    rec.BadPageBitmap.assign(g.totalPages() / 8, 0);
    BadBlockMap retired(g.totalBlocks());
    FlashBookkeeping bk;
    ScanOptions o;
    o.scanCount = 1;
    o.orderSeed = 9;
    PortJob job{0, rec, station.display(0), station.commands(0), station.badPageTree(),
                station.messages(), station.options(), station.config()};
    state.ResumeTiming();
    benchmark::DoNotOptimize(ScanBadBlocks(job, g, retired, bk, o));
    state.counters["bad_pages"] = rec.BadPages;
  }
}
BENCHMARK(BM_FullScan32768Blocks)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace kvx

BENCHMARK_MAIN();
