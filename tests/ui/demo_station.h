#pragma once
// A whole station on test doubles, for the widget tests and the screenshot
// program: a scripted transport, a production sequence that walks its bar
// through a scan and a format with live percentages and bad-page lines, and
// an operator whose answers are scripted.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/messages.h"
#include "engine/operator.h"
#include "engine/production_sequence.h"
#include "engine/station.h"
#include "support/fake_transport.h"

namespace kvx::test {

enum class DemoOutcome { Succeed, Fail, UntilStopped };

struct DemoPlan {
  int steps = 10;
  std::chrono::milliseconds stepDelay{2};
  DemoOutcome outcome = DemoOutcome::Succeed;
  int badLines = 2;  // bad-page lines hung under the job's node
};

// A device command that does not come back while held: a job inside it sees
// no stop request, as when a real command waits for its timeout.
class SlowCommand {
 public:
  void hold() {
    std::lock_guard l(m_);
    held_ = true;
  }
  void release() {
    {
      std::lock_guard l(m_);
      held_ = false;
    }
    cv_.notify_all();
  }
  // Passes at once unless held.
  void pass() {
    std::unique_lock l(m_);
    if (!held_) return;
    ++inside_;
    cv_.wait(l, [this] { return !held_; });
    --inside_;
  }
  int inside() {
    std::lock_guard l(m_);
    return inside_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool held_ = false;
  int inside_ = 0;
};

// Plans are set before the jobs start; workers only read them.
class DemoSequence final : public ProductionSequence {
 public:
  std::array<DemoPlan, kPortCount> plans{};
  std::atomic<int> jobs{0};
  SlowCommand slowCommand;

  std::int32_t RunProduction(PortJob& job) override { return run(job); }
  std::int32_t RunHighFormatOnly(PortJob& job) override { return run(job); }

 private:
  std::int32_t run(PortJob& job) {
    ++jobs;
    const DemoPlan plan = plans[std::size_t(job.port)];
    constexpr std::uint32_t kBlocks = 4096;
    job.rec.TotalBlocks = kBlocks;
    job.rec.BadPages = 0;
    int linesAdded = 0;
    for (int step = 0; plan.outcome == DemoOutcome::UntilStopped || step <= plan.steps; ++step) {
      slowCommand.pass();
      if (job.stopRequested()) {
        job.showCancelled();
        return msg::kCancel;
      }
      const int steps = std::max(plan.steps, 1);
      const int percent = std::min(step, steps) * 100 / steps;
      const bool scanning = percent < 60;
      // The scan's lines: block and page of each bad page found.
      if (scanning && linesAdded < plan.badLines && step % 2 == 1) {
        ++linesAdded;
        ++job.rec.BadPages;
        job.treeLine("Chip 0 Block " + std::to_string(37 * linesAdded + job.port));
        job.treeLine("Page " + std::to_string(linesAdded * 3), 2);
      }
      const MessageId text = scanning ? MessageId(32786) : MessageId(32785);
      job.display.setText(
          FormatMessageText(job.messages.str(text), {kBlocks, (long long)job.rec.BadPages}));
      job.display.setPercent(scanning ? percent * 100 / 60 : (percent - 60) * 100 / 40);
      std::this_thread::sleep_for(plan.stepDelay);
    }
    job.rec.DiskSectors = 1031680 + std::uint32_t(job.port) * 2048;
    job.rec.FixedSectors = 1024000;
    job.rec.BinNo = 2;
    if (plan.outcome == DemoOutcome::Fail) {
      job.show(msg::kEraseError, BarColour::Red);
      return msg::kEraseError;
    }
    return 0;
  }
};

// Answers from a script (OK unless told otherwise) and remembers the
// questions. Asked on the window thread only.
class ScriptedOperator final : public Operator {
 public:
  std::vector<MessageId> asked;
  std::vector<std::string> asks;  // the question texts
  std::vector<std::string> notices;
  bool answer = true;
  bool confirm(const OperatorMessage& q) override {
    asked.push_back(q.textId);
    asks.push_back(q.text);
    return answer;
  }
  void inform(const OperatorMessage& n) override { notices.push_back(n.text); }
};

struct DemoStation {
  FakeTransport devices;
  DemoSequence sequence;
  std::unique_ptr<Station> station;

  DemoStation(Operator& op, Language language = Language::English)
      : station(std::make_unique<Station>(devices, sequence, op, language)) {}

  // What a refresh does for an identified disk: its path, a flash type,
  // present, the button enabled. The device is opened by the job's worker.
  void attach(int port) {
    FORMATINFO& rec = station->record(port);
    rec.DevicePath = "fake:" + std::to_string(port);
    rec.hDevice = kInvalidHandle;
    rec.FlashTypeIndex = 0;
    rec.Present = 1;
    rec.DriveLetter = "/media/kvx" + std::to_string(port + 1);
    station->display(port).setButtonEnabled(true);
  }
};

}  // namespace kvx::test
