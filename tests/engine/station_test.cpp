#include "engine/station.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/result_line.h"
#include "support/fake_transport.h"

namespace kvx {
namespace {

using namespace std::chrono_literals;

enum class Mode {
  Succeed,
  Fail,
  HandOver,
  SolderingPass,
  UntilStopped,
  OneSecond,
  Throw,
  InSlowCommand
};

// A device command that does not come back until the test lets it: the job
// inside it cannot see a stop request, as with a command waiting for its
// timeout.
class SlowCommand {
 public:
  void wait() {
    std::unique_lock l(m_);
    ++waiting_;
    cv_.wait(l, [this] { return released_; });
  }
  void release() {
    {
      std::lock_guard l(m_);
      released_ = true;
    }
    cv_.notify_all();
  }
  int waiting() {
    std::lock_guard l(m_);
    return waiting_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool released_ = false;
  int waiting_ = 0;
};

// A production sequence whose behaviour is chosen per port.
class FakeSequence : public ProductionSequence {
 public:
  std::array<std::atomic<Mode>, kPortCount> mode{};
  std::atomic<int> production{0}, highFormat{0};
  std::atomic<int> inside{0}, peakInside{0};
  // What the bar showed when a stopped job noticed the stop.
  std::mutex m;
  std::vector<PortView> cancelViews;
  SlowCommand slowCommand;

  std::int32_t RunProduction(PortJob& job) override {
    ++production;
    Enter guard(*this);
    job.rec.BadPages = 12;
    job.rec.DiskSectors = 1031680;
    job.rec.FixedSectors = 1024000;
    const Mode how = mode[job.port].load();
    if (how != Mode::Fail && how != Mode::Throw) job.rec.BinNo = 2;  // failing jobs reach no class
    switch (how) {
      case Mode::Succeed:
        return 0;
      case Mode::Fail:
        job.show(msg::kEraseError, BarColour::Red);
        return msg::kEraseError;
      case Mode::HandOver:
        return kHandOverToHighFormat;
      case Mode::SolderingPass:
        return kSolderingCheckPassed;
      case Mode::UntilStopped:
        while (!job.stopRequested()) std::this_thread::sleep_for(2ms);
        job.showCancelled();
        {
          std::lock_guard l(m);
          cancelViews.push_back(job.display.snapshot());
        }
        return msg::kCancel;
      case Mode::OneSecond:
        for (int i = 0; i < 100 && !job.stopRequested(); ++i) std::this_thread::sleep_for(10ms);
        return 0;
      case Mode::Throw:
        throw std::out_of_range("index 9 of 4");
      case Mode::InSlowCommand:
        slowCommand.wait();
        return job.stopRequested() ? msg::kCancel : 0;
    }
    return -1;
  }
  std::int32_t RunHighFormatOnly(PortJob& job) override {
    ++highFormat;
    job.rec.DiskSectors = 2048 * 100;
    return mode[job.port].load() == Mode::Fail ? -1 : 0;
  }

 private:
  struct Enter {
    FakeSequence& s;
    explicit Enter(FakeSequence& seq) : s(seq) {
      const int now = ++s.inside;
      int peak = s.peakInside.load();
      while (now > peak && !s.peakInside.compare_exchange_weak(peak, now)) {
      }
    }
    ~Enter() { --s.inside; }
  };
};

// Answers questions from a script (default OK) and remembers them.
class ScriptedOperator : public Operator {
 public:
  std::vector<MessageId> asked;
  bool answer = true;
  bool confirm(const OperatorMessage& q) override {
    asked.push_back(q.textId);
    return answer;
  }
  void inform(const OperatorMessage&) override {}
};

class StationTest : public ::testing::Test {
 protected:
  test::FakeTransport devices;
  FakeSequence sequence;
  ScriptedOperator op;
  std::unique_ptr<Station> station =
      std::make_unique<Station>(devices, sequence, op, Language::English);

  void attach(int port) {
    auto& rec = station->record(port);
    rec.DevicePath = "fake:" + std::to_string(port);
    rec.hDevice = kInvalidHandle;
    rec.FlashTypeIndex = 0;
    rec.Present = 1;
    rec.DriveLetter = "/media/disk" + std::to_string(port);
    station->display(port).setButtonEnabled(true);
  }
  PortView view(int port) { return station->display(port).snapshot(); }
};

TEST_F(StationTest, PortCaptionsArePaddedToSevenCharacters) {
  EXPECT_EQ(PortButtonCaption(0), "Port-1 ");
  EXPECT_EQ(PortButtonCaption(8), "Port-9 ");
  EXPECT_EQ(PortButtonCaption(9), "Port-10");
  EXPECT_EQ(PortButtonCaption(63), "Port-64");
  EXPECT_EQ(view(0).text, "$p%");
  EXPECT_EQ(view(0).colour, BarColour::Blue);
}

TEST_F(StationTest, StartAllWithoutDevicesStartsNothingButEnablesStopAll) {
  station->StartAll();
  station->WaitForIdle();
  EXPECT_EQ(sequence.production.load(), 0);
  EXPECT_TRUE(station->stopAllEnabled());
}

struct OutcomeCase {
  const char* name;
  Mode mode;
  bool highFormatSelected;
  bool logicScan;
  BarColour colour;
  const char* text;
  int production, highFormat;
};

TEST_F(StationTest, JobOutcomes) {
  const OutcomeCase cases[] = {
      {"success", Mode::Succeed, false, false, BarColour::Blue,
       "Finished. Bad Pages 12  Size: 503 (Fixed: 500)MB    0:0:0       BIN-2", 1, 0},
      {"failure keeps the message 32790 form, in red", Mode::Fail, false, false, BarColour::Red,
       "Finished. Bad Pages 12  Size: 503 (Fixed: 500)MB    0:0:0       BIN-0", 1, 0},
      {"1688 hands over to the re-format; fixed = disk size", Mode::HandOver, false, false,
       BarColour::Blue, "Finished. Bad Pages 12  Size: 100 (Fixed: 100)MB    0:0:0       BIN-2", 1,
       1},
      {"High Format selected", Mode::Succeed, true, false, BarColour::Blue,
       "Finished. Bad Pages 0  Size: 100 (Fixed: 100)MB    0:0:0       BIN-0", 0, 1},
      {"High Format that fails", Mode::Fail, true, false, BarColour::Red,
       "Finished. Bad Pages 0  Size: 100 (Fixed: 100)MB    0:0:0       BIN-0", 0, 1},
      {"logical scan without a clean pass", Mode::Succeed, false, true, BarColour::Magenta,
       "Finished. Bad Pages 12  Size: 503 (Fixed: 500)MB    0:0:0       BIN-2", 1, 0},
      {"an exception inside a stage is a failure", Mode::Throw, false, false, BarColour::Red,
       "Finished. Bad Pages 12  Size: 503 (Fixed: 500)MB    0:0:0       BIN-0", 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::FakeTransport dev;
    FakeSequence seq;
    ScriptedOperator o;
    Station s(dev, seq, o, Language::English);
    seq.mode[3] = c.mode;
    s.options().levelCount = 6;
    s.options().scanLevelIndex = c.highFormatSelected ? 4 : 0;
    s.options().logicScan = c.logicScan;
    auto& rec = s.record(3);
    rec.DevicePath = "fake:3";
    rec.hDevice = kInvalidHandle;
    rec.FlashTypeIndex = 0;
    rec.Present = 1;
    s.display(3).setButtonEnabled(true);
    s.PortButtonClick(3);
    s.WaitForIdle();
    const PortView v = s.display(3).snapshot();
    EXPECT_EQ(v.text, c.text);
    EXPECT_EQ(v.colour, c.colour);
    EXPECT_EQ(v.percent, 0);
    EXPECT_EQ(seq.production.load(), c.production);
    EXPECT_EQ(seq.highFormat.load(), c.highFormat);
    EXPECT_EQ(rec.Running.load(), 0);
    EXPECT_FALSE(s.busy(3));
    EXPECT_TRUE(IsOpen(rec.hDevice)) << "the worker opened the port's device";
    EXPECT_EQ(dev.opened, std::vector<std::string>{"fake:3"});
  }
}

TEST_F(StationTest, SolderingCheckShowsOnlyTheVerdict) {
  struct {
    Mode mode;
    bool highFormat;
    const char* text;
    BarColour colour;
  } cases[] = {
      {Mode::SolderingPass, false, kSolderingOkText, BarColour::Blue},
      {Mode::Succeed, false, kSolderingSuspectText, BarColour::Red},
      {Mode::HandOver, false, kSolderingSuspectText, BarColour::Red},
      // The High Format path ends without any line: the bar keeps what it had.
      {Mode::Succeed, true, "$p%", BarColour::Blue},
  };
  for (const auto& c : cases) {
    test::FakeTransport dev;
    FakeSequence seq;
    ScriptedOperator o;
    Station s(dev, seq, o, Language::English);
    seq.mode[0] = c.mode;
    s.options().highChipCheck = true;
    s.options().scanLevelIndex = c.highFormat ? 2 : 3;  // 4 levels: 2 = High Format, 3 = Mpcs
    s.record(0).FlashTypeIndex = 0;
    s.record(0).DevicePath = "fake:0";
    s.display(0).setButtonEnabled(true);
    s.StartAll();
    s.WaitForIdle();
    EXPECT_EQ(s.display(0).snapshot().text, c.text);
    EXPECT_EQ(s.display(0).snapshot().colour, c.colour);
    EXPECT_EQ(seq.highFormat.load(), c.highFormat ? 1 : 0) << "no hand-over under the check";
    EXPECT_EQ(s.record(0).Running.load(), 0);
  }
}

TEST_F(StationTest, DeviceThatCannotBeOpenedLeavesThePortEmpty) {
  attach(4);
  devices.openable["fake:4"] = false;
  station->StartAll();
  station->WaitForIdle();
  EXPECT_EQ(sequence.production.load(), 0);
  EXPECT_FALSE(view(4).buttonEnabled);
  EXPECT_EQ(view(4).text, "");
  EXPECT_EQ(station->record(4).DriveLetter, "");
  EXPECT_EQ(station->record(4).Running.load(), 0);
  EXPECT_FALSE(station->busy(4));
}

TEST_F(StationTest, PortsWithoutAFlashTypeAreNotStarted) {
  attach(1);
  station->record(1).FlashTypeIndex = -1;
  station->StartAll();
  station->WaitForIdle();
  EXPECT_EQ(sequence.production.load(), 0);
}

TEST_F(StationTest, JobStartCopiesTheSnapshots) {
  auto& cfg = station->config();
  cfg.header()[23] = 'K';
  cfg.flashType(5)[0] = 'F';
  cfg.flashType(5)[38] = 2;  // scan code type
  cfg.codeType(2)[0] = 'C';
  attach(7);
  station->record(7).FlashTypeIndex = 5;
  station->hooks().makeSerial = [](FORMATINFO&, int port) {
    return SerialOutcome{true, "SN" + std::to_string(port), ""};
  };
  station->StartAll();
  station->WaitForIdle();
  const auto& rec = station->record(7);
  EXPECT_EQ(rec.Settings[23], 'K');
  EXPECT_EQ(rec.FlashType[0], 'F');
  EXPECT_EQ(rec.Code[0], 'C');
  EXPECT_EQ(rec.SerialText, "SN7");
  const auto nodes = station->badPageTree().snapshot();
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].text, "/media/disk7");
  EXPECT_EQ(nodes[0].id, rec.BadBlkNode);

  // A flash type naming a code type that does not exist: the job's code is empty.
  cfg.flashType(5)[38] = 9;
  station->PortButtonClick(7);
  station->WaitForIdle();
  EXPECT_EQ(rec.Code[0], 0);
}

TEST_F(StationTest, ASerialThatCannotBeGivenKeepsTheJobFromStarting) {
  attach(2);
  attach(3);
  sequence.mode[2] = Mode::Fail;
  station->record(2).BinNo = 7;
  station->hooks().makeSerial = [](FORMATINFO&, int port) {
    return port == 3 ? SerialOutcome{false, "", "Serial numbers are used up"}
                     : SerialOutcome{true, "X", ""};
  };
  station->StartAll();
  station->WaitForIdle();
  EXPECT_EQ(sequence.production.load(), 1);
  EXPECT_EQ(view(3).text, "Serial numbers are used up");
  EXPECT_EQ(view(3).colour, BarColour::Red);
  EXPECT_EQ(station->record(2).BinNo, 0) << "the previous job's class is gone";
  EXPECT_NE(view(2).text.find("BIN-0"), std::string::npos);
}

TEST_F(StationTest, SixtyFourPortsRunTogether) {
  for (int k = 0; k < kPortCount; ++k) {
    attach(k);
    sequence.mode[k] = Mode::OneSecond;
  }
  const auto t0 = std::chrono::steady_clock::now();
  station->StartAll();
  station->WaitForIdle();
  const auto wall = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(sequence.production.load(), kPortCount);
  EXPECT_EQ(sequence.peakInside.load(), kPortCount) << "every job ran at the same time";
  EXPECT_LT(wall, 20s) << "64 one-second jobs in a row would take 64 s";
  for (int k = 0; k < kPortCount; ++k) {
    EXPECT_EQ(view(k).colour, BarColour::Blue) << k;
    EXPECT_FALSE(station->busy(k));
  }
}

TEST_F(StationTest, StoppingOnePortEndsOnlyThatOne) {
  for (int k = 0; k < kPortCount; ++k) {
    attach(k);
    sequence.mode[k] = Mode::UntilStopped;
  }
  station->StartAll();
  while (sequence.inside.load() < kPortCount) std::this_thread::sleep_for(1ms);

  op.answer = false;  // "Stop it?" cancelled: nothing changes
  station->PortButtonClick(5);
  EXPECT_EQ(station->record(5).Running.load(), 1);

  op.answer = true;
  station->PortButtonClick(5);
  while (station->busy(5)) std::this_thread::sleep_for(1ms);
  {
    std::lock_guard l(sequence.m);
    ASSERT_EQ(sequence.cancelViews.size(), 1u);
    EXPECT_EQ(sequence.cancelViews[0].text, "Cancel");
    EXPECT_EQ(sequence.cancelViews[0].colour, BarColour::Purple);
  }
  EXPECT_EQ(view(5).colour, BarColour::Red);
  EXPECT_EQ(view(5).text.rfind("Finished. Bad Pages 12", 0), 0u);
  for (int k = 0; k < kPortCount; ++k) {
    if (k == 5) continue;
    EXPECT_TRUE(station->busy(k)) << k;
  }

  op.answer = false;
  station->StopAll();
  EXPECT_EQ(station->record(6).Running.load(), 1) << "cancelled Stop all changes nothing";
  op.answer = true;
  station->StopAll();
  station->WaitForIdle();
  EXPECT_EQ(sequence.cancelViews.size(), std::size_t(kPortCount));
  for (int k = 0; k < kPortCount; ++k) EXPECT_EQ(view(k).colour, BarColour::Red) << k;
  EXPECT_EQ(op.asked, (std::vector<MessageId>{33022, 33022, 33023, 33023}));
}

TEST_F(StationTest, AStoppingPortIsNotStartedAgainAndKeepsItsSnapshots) {
  attach(2);
  attach(3);
  sequence.mode[2] = Mode::UntilStopped;
  sequence.mode[3] = Mode::UntilStopped;
  station->StartAll();
  while (sequence.inside.load() < 2) std::this_thread::sleep_for(1ms);
  // Port 2 is told to stop but its worker is still inside the job (the fake
  // notices the stop only on its next poll); Start All must skip it.
  station->config().header()[23] = 'Z';
  station->record(2).Running.store(0);
  station->StartAll();
  EXPECT_NE(station->record(3).Settings[23], 'Z') << "a running port keeps its snapshot";
  station->PortButtonClick(3);  // asks "Stop it?", does not refresh
  EXPECT_NE(station->record(3).Settings[23], 'Z');
  station->WaitForIdle();
  EXPECT_EQ(sequence.production.load(), 2) << "no second worker on a busy port";
  EXPECT_TRUE(station->badPageTree().snapshot().empty()) << "Start All emptied the tree";
}

TEST_F(StationTest, TimerAdvancesOnlyRunningPorts) {
  attach(0);
  attach(1);
  sequence.mode[0] = Mode::UntilStopped;
  station->PortButtonClick(0);
  while (sequence.inside.load() < 1) std::this_thread::sleep_for(1ms);
  station->Tick();
  station->Tick();
  EXPECT_EQ(station->record(0).ElapsedSeconds.load(), 2u);
  EXPECT_EQ(station->record(1).ElapsedSeconds.load(), 0u);
  station->record(0).Running.store(0);
  station->WaitForIdle();
  EXPECT_NE(view(0).text.find(" 0:0:2       BIN-2"), std::string::npos) << view(0).text;
}

TEST_F(StationTest, KeysInBothPanels) {
  int saved = 0;
  station->hooks().saveSettings = [&] { ++saved; };
  attach(0);
  EXPECT_EQ(station->KeyPress(StationKey::CtrlC), KeyAction::StopAll);
  EXPECT_EQ(op.asked, std::vector<MessageId>{33023}) << "asked even with no port running";
  EXPECT_EQ(station->KeyPress(StationKey::Space), KeyAction::StartAll);
  station->WaitForIdle();
  EXPECT_EQ(sequence.production.load(), 1);
  EXPECT_EQ(station->KeyPress(StationKey::CtrlS), KeyAction::ShowSettings);
  EXPECT_EQ(station->panel(), Panel::Settings);
  EXPECT_EQ(station->KeyPress(StationKey::Space), KeyAction::None);
  EXPECT_EQ(station->KeyPress(StationKey::CtrlC), KeyAction::None);
  station->WaitForIdle();
  EXPECT_EQ(sequence.production.load(), 1) << "Space in the settings view does nothing";
  EXPECT_EQ(station->KeyPress(StationKey::Escape), KeyAction::ReturnFromSettings);
  EXPECT_EQ(saved, 1);
  EXPECT_EQ(station->panel(), Panel::Production);
  EXPECT_EQ(station->KeyPress(StationKey::Escape), KeyAction::Close);
}

TEST_F(StationTest, CloseAsksThenStopsEverythingAndClosesHandles) {
  std::vector<std::string> order;
  station->hooks().stopAuxiliaryThreads = [&] { order.push_back("aux"); };
  station->hooks().saveSettings = [&] { order.push_back("save"); };
  for (int k : {0, 9}) {
    attach(k);
    sequence.mode[k] = Mode::UntilStopped;
  }
  station->StartAll();
  while (sequence.inside.load() < 2) std::this_thread::sleep_for(1ms);

  op.answer = false;
  EXPECT_FALSE(station->Close());
  EXPECT_TRUE(order.empty());
  EXPECT_TRUE(station->busy(0));

  op.answer = true;
  EXPECT_TRUE(station->Close());
  EXPECT_EQ(order, (std::vector<std::string>{"aux", "save"}));
  EXPECT_FALSE(station->anyBusy());
  EXPECT_EQ(devices.closed.size(), 2u);
  EXPECT_EQ(station->record(0).hDevice, kInvalidHandle);
  EXPECT_EQ(op.asked.back(), msg::kExitQuestion);
}

TEST_F(StationTest, CloseRequestReturnsAtOnceWhileAJobIsInsideASlowCommand) {
  int saves = 0, auxiliaryStops = 0;
  station->hooks().stopAuxiliaryThreads = [&] { ++auxiliaryStops; };
  station->hooks().saveSettings = [&] { ++saves; };
  attach(0);
  attach(3);
  sequence.mode[0] = Mode::InSlowCommand;
  sequence.mode[3] = Mode::UntilStopped;
  station->StartAll();
  while (sequence.slowCommand.waiting() < 1 || sequence.inside.load() < 2)
    std::this_thread::sleep_for(1ms);

  // A request that waited for the job would wait forever: after two seconds
  // the command comes back by itself and the test fails instead of hanging.
  std::jthread safety([this](std::stop_token stop) {
    for (int i = 0; i < 200 && !stop.stop_requested(); ++i) std::this_thread::sleep_for(10ms);
    if (!stop.stop_requested()) sequence.slowCommand.release();
  });
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(station->RequestClose());
  EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms) << "the request waits for no job";
  safety.request_stop();
  safety.join();
  EXPECT_EQ(op.asked, std::vector<MessageId>{msg::kExitQuestion});
  EXPECT_EQ(auxiliaryStops, 1);
  EXPECT_TRUE(station->closing());
  EXPECT_EQ(station->record(0).Running.load(), 0);
  EXPECT_EQ(station->record(3).Running.load(), 0);

  // Port 3 polls its flag and ends; port 0 is still inside its command.
  while (station->busy(3)) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(station->busy(0));
  EXPECT_FALSE(station->FinishClose());
  EXPECT_EQ(saves, 0) << "nothing is saved while a job runs";
  EXPECT_TRUE(devices.closed.empty()) << "no handle is closed under a running job";

  // Meanwhile nothing starts and nothing more is asked.
  attach(5);
  station->StartAll();
  station->PortButtonClick(5);
  station->PortButtonClick(0);
  station->StopAll();
  EXPECT_FALSE(station->busy(5));
  EXPECT_EQ(sequence.production.load(), 2);
  EXPECT_TRUE(station->RequestClose()) << "a second request does not ask again";
  EXPECT_EQ(op.asked.size(), 1u);

  sequence.slowCommand.release();
  while (station->anyBusy()) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(station->FinishClose());
  EXPECT_TRUE(station->closed());
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(devices.opened.size(), 2u);
  EXPECT_EQ(devices.closed.size(), 2u);
  for (int k : {0, 3}) EXPECT_EQ(station->record(k).hDevice, kInvalidHandle) << k;

  // Finishing again changes nothing.
  EXPECT_TRUE(station->FinishClose());
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(devices.closed.size(), 2u);
  EXPECT_EQ(auxiliaryStops, 1);
}

TEST_F(StationTest, CloseWithoutJobsStillAsksFirst) {
  int saves = 0;
  station->hooks().saveSettings = [&] { ++saves; };
  // A handle left open by discovery is closed too.
  attach(2);
  station->record(2).hDevice = devices.open("fake:2");

  op.answer = false;
  EXPECT_FALSE(station->RequestClose());
  EXPECT_FALSE(station->closing());
  EXPECT_FALSE(station->FinishClose()) << "no close was requested";
  EXPECT_EQ(saves, 0);

  op.answer = true;
  EXPECT_TRUE(station->RequestClose());
  EXPECT_TRUE(station->FinishClose()) << "nothing to wait for";
  EXPECT_EQ(op.asked, (std::vector<MessageId>{msg::kExitQuestion, msg::kExitQuestion}));
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(devices.closed.size(), 1u);
  EXPECT_EQ(station->record(2).hDevice, kInvalidHandle);
}

}  // namespace
}  // namespace kvx
