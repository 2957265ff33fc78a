#include "device/hotplug_watcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/station.h"
#include "support/flash_fakes.h"

namespace kvx {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::TreeTopology;

class ManualSource : public HotplugSource {
 public:
  void start(std::function<void()> onChange) override {
    std::lock_guard l(m_);
    onChange_ = std::move(onChange);
  }
  void stop() override {
    std::lock_guard l(m_);
    onChange_ = nullptr;
  }
  void fire() {
    std::lock_guard l(m_);
    if (onChange_) onChange_();
  }

 private:
  std::mutex m_;
  std::function<void()> onChange_;
};

class NoJobs : public ProductionSequence {
 public:
  std::int32_t RunProduction(PortJob&) override { return 0; }
  std::int32_t RunHighFormatOnly(PortJob&) override { return 0; }
};

template <typename F>
Clock::duration TimeUntil(F condition, Clock::duration limit = 3s) {
  const auto t0 = Clock::now();
  while (!condition() && Clock::now() - t0 < limit) std::this_thread::sleep_for(1ms);
  return Clock::now() - t0;
}

class WatcherTest : public ::testing::Test {
 protected:
  WatcherTest() {
    catalog.types = {{0xECD35195, 0, 4096, 64, 4, false, "K9GAG"}};
    topo.roots = {{1, "usb1"}};
    topo.hubs["usb1"] = std::vector<UsbPortState>(4);
    for (int i = 1; i <= 4; ++i)
      disks.disks["/dev/sg" + std::to_string(i)].chips = {
          {0, test::Lanes(0xECD35195, test::kSilent)}};
  }
  test::IdDisks disks;
  NoJobs sequence;
  FixedAnswerOperator op{true};
  Station station{disks, sequence, op, Language::English};
  TreeTopology topo;
  MemoryPortMap portMap;
  test::ListCatalog catalog;
  test::FakeSelection selection;
  PortDiscovery discovery{station, topo, portMap, catalog, selection};
  ManualSource source;
  RefreshWorker worker{[this] { discovery.RefreshPorts(); }};
  HotplugWatcher watcher{discovery, source, [this] { worker.request(); }};
};

TEST_F(WatcherTest, FirstRefreshByItselfThenUnplugSeenQuickly) {
  topo.set("usb1", 1, TreeTopology::Disk("/dev/sg1"));
  watcher.start();
  TimeUntil([&] { return station.record(0).Present.load() == 1; });
  ASSERT_EQ(station.record(0).Present.load(), 1) << "disks present at start are found unasked";

  topo.set("usb1", 1, {});
  source.fire();
  const auto seen = TimeUntil([&] { return station.record(0).Present.load() == 0; });
  EXPECT_EQ(station.record(0).Present.load(), 0);
  EXPECT_FALSE(station.display(0).snapshot().buttonEnabled);
  EXPECT_LT(seen, 400ms) << "the watcher looks every 200 ms";
  watcher.stop();
}

TEST_F(WatcherTest, APlugDuringAWalkCutsItShortAndANewRefreshFindsTheDisk) {
  std::atomic<bool> plugged{false};
  topo.onPortQuery = [&](const std::string&, int port) {
    if (port == 2 && !plugged.exchange(true)) {
      topo.set("usb1", 4, TreeTopology::Disk("/dev/sg4"));
      source.fire();
      // Hold the walk until the watcher has cut it short.
      TimeUntil([&] { return !discovery.refreshRunning(); }, 2s);
    }
  };
  watcher.start();
  // The disk is attached during the second refresh; that refresh counts as
  // completed a moment later.
  TimeUntil([&] { return station.record(0).Present.load() == 1 && worker.completed() >= 2; });
  EXPECT_EQ(station.record(0).DevicePath, "/dev/sg4");
  EXPECT_GE(worker.completed(), 2u) << "the cut walk and the one that found the disk";
  watcher.stop();
}

TEST_F(WatcherTest, NoChangesNoRefreshes) {
  watcher.start(/*announce=*/false);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(worker.completed(), 0u);
  watcher.stop();
}

}  // namespace
}  // namespace kvx
