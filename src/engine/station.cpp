#include "engine/station.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "engine/result_line.h"

namespace kvx {

std::string PortButtonCaption(int port) {
  std::string caption = "Port-" + std::to_string(port + 1);
  caption.resize(std::max<std::size_t>(caption.size(), 7), ' ');
  return caption;
}

Station::Station(DeviceAccess& devices, ProductionSequence& sequence, Operator& op,
                 Language language, StationHooks hooks)
    : devices_(devices),
      sequence_(sequence),
      operator_(op),
      messages_(language),
      hooks_(std::move(hooks)),
      portStorage_(std::make_unique<std::array<Port, kPortCount>>()),
      ports_(*portStorage_) {
  for (int k = 0; k < kPortCount; ++k) {
    ports_[k].commands.transport = &devices_;
    ports_[k].display.setButtonCaption(PortButtonCaption(k));
  }
}

Station::~Station() {
  for (auto& p : ports_) p.rec.Running.store(0);
  for (auto& p : ports_)
    if (p.worker.joinable()) p.worker.join();
}

bool Station::ask(MessageId text) {
  OperatorMessage q{msg::kInformation, text, messages_.str(msg::kInformation), messages_.str(text)};
  return operator_.confirm(q);
}

bool Station::anyBusy() const {
  return std::any_of(ports_.begin(), ports_.end(), [](const Port& p) { return p.rec.Busy.load(); });
}

void Station::WaitForIdle() {
  for (auto& p : ports_)
    if (p.worker.joinable()) p.worker.join();
}

bool Station::startable(int k) const {
  const Port& p = ports_[k];
  const PortView v = p.display.snapshot();
  return !closing_.load() && !v.buttonCaption.empty() && v.buttonEnabled && !p.rec.Busy.load() &&
         p.rec.FlashTypeIndex >= 0 && p.rec.FlashTypeIndex < int(ConfigImage::kFlashTypeCount);
}

// Job start, steps 1-2: the job's copies of the settings header and its flash type.
void Station::refreshSnapshots(int k) {
  FORMATINFO& rec = ports_[k].rec;
  const auto header = config_.header();
  std::copy(header.begin(), header.end(), rec.Settings.begin());
  if (rec.FlashTypeIndex >= 0 && rec.FlashTypeIndex < int(ConfigImage::kFlashTypeCount)) {
    const auto ft = config_.flashType(std::size_t(rec.FlashTypeIndex));
    std::copy(ft.begin(), ft.end(), rec.FlashType.begin());
  } else {
    rec.FlashType.fill(0);
  }
}

// Flash-type byte naming the code type used while scanning.
constexpr std::size_t kScanCodeByte = 38;

// Job start, steps 3-6, then the worker.
bool Station::startJob(int k) {
  Port& p = ports_[k];
  FORMATINFO& rec = p.rec;
  const SerialOutcome serial = hooks_.makeSerial ? hooks_.makeSerial(rec, k) : SerialOutcome{};
  if (!serial.ok) {
    rec.StatusText = serial.error;
    rec.FailureText = serial.error;
    rec.LastResult = -1;
    p.display.setBar(rec.StatusText, BarColour::Red, 0);
    return false;
  }
  rec.SerialText = serial.text;
  // Every job starts without a capacity class: a disk that matches no row
  // never shows the previous disk's class.
  rec.BinNo = 0;
  rec.ElapsedSeconds.store(0);
  rec.BadBlkNode = tree_.addRoot(k, rec.DriveLetter);
  const std::size_t code = rec.FlashType[kScanCodeByte];
  if (code < ConfigImage::kCodeTypeCount) {
    const auto ct = config_.codeType(code);
    std::copy(ct.begin(), ct.end(), rec.Code.begin());
  } else {
    rec.Code.fill(0);  // names a missing code type: the download will refuse it
  }
  sequence_.PrepareJob(k, rec, config_);
  rec.Busy.store(true);
  rec.Running.store(1);
  // The previous worker of this port has ended (the port was not busy); the
  // assignment joins it before the new one starts.
  p.worker = std::jthread([this, k] { workerBody(k); });
  return true;
}

void Station::StartAll() {
  std::lock_guard lock(controlMutex_);
  tree_.clear();
  for (int k = 0; k < kPortCount; ++k) {
    if (!startable(k)) continue;
    refreshSnapshots(k);
    startJob(k);
  }
  stopAllEnabled_ = true;
}

void Station::StopAll() {
  // While closing every job has been told to stop already.
  if (closing_.load() || !ask(msg::kStopAll)) return;
  for (auto& p : ports_) p.rec.Running.store(0);
}

void Station::PortButtonClick(int k) {
  if (k < 0 || k >= kPortCount) return;
  Port& p = ports_[k];
  {
    const PortView v = p.display.snapshot();
    if (v.buttonCaption.empty() || !v.buttonEnabled) return;
  }
  if (p.rec.Busy.load()) {
    // A busy port keeps its snapshots; the worker still reads them.
    if (p.rec.Running.load() == 1 && ask(msg::kStopIt)) p.rec.Running.store(0);
    return;
  }
  std::lock_guard lock(controlMutex_);
  if (!startable(k)) return;
  refreshSnapshots(k);
  startJob(k);
  stopAllEnabled_ = true;
}

KeyAction Station::KeyPress(StationKey key) {
  if (panel_ == Panel::Production) {
    switch (key) {
      case StationKey::Space:
        StartAll();
        return KeyAction::StartAll;
      case StationKey::CtrlC:
        StopAll();
        return KeyAction::StopAll;
      case StationKey::CtrlS:
        panel_ = Panel::Settings;
        return KeyAction::ShowSettings;
      case StationKey::Escape:
        return KeyAction::Close;
      case StationKey::Other:
        return KeyAction::None;
    }
    return KeyAction::None;
  }
  if (key == StationKey::Escape) {
    if (hooks_.saveSettings) hooks_.saveSettings();
    panel_ = Panel::Production;
    return KeyAction::ReturnFromSettings;
  }
  return KeyAction::None;
}

void Station::Tick() {
  for (auto& p : ports_)
    if (p.rec.Running.load() == 1) p.rec.ElapsedSeconds.fetch_add(1);
}

bool Station::RequestClose() {
  if (closing_.load()) return true;
  if (!ask(msg::kExitQuestion)) return false;
  closing_.store(true);
  if (hooks_.stopAuxiliaryThreads) hooks_.stopAuxiliaryThreads();
  for (auto& p : ports_) p.rec.Running.store(0);
  return true;
}

bool Station::FinishClose() {
  if (closed_) return true;
  if (!closing_.load() || anyBusy()) return false;
  // Every worker has made its last write (Busy); joining only reaps the
  // threads, which are at their very end.
  WaitForIdle();
  // Saved after the jobs ended, so that what they changed in the image (the
  // serial counter) is in the file.
  if (hooks_.saveSettings) hooks_.saveSettings();
  std::lock_guard lock(controlMutex_);
  for (auto& p : ports_) {
    if (IsOpen(p.rec.hDevice)) {
      devices_.close(p.rec.hDevice);
      p.rec.hDevice = kInvalidHandle;
    }
  }
  closed_ = true;
  return true;
}

bool Station::Close() {
  if (!RequestClose()) return false;
  WaitForIdle();
  return FinishClose();
}

std::int32_t Station::runSequence(PortJob& job, bool& highFormatPath) {
  if (options_.highFormatSelected()) {
    highFormatPath = true;
    return sequence_.RunHighFormatOnly(job);
  }
  return sequence_.RunProduction(job);
}

void Station::workerBody(int k) {
  Port& p = ports_[k];
  FORMATINFO& rec = p.rec;
  // Whatever way the body ends, the job is over: Running first, then Busy as
  // the very last write, so a new start never overlaps this worker.
  struct EndOfJob {
    Station& station;
    Port& port;
    ~EndOfJob() {
      FORMATINFO& rec = port.rec;
      // Discovery leaves the handle of a busy port alone; when the disk left
      // during the job, the worker closes it here, under the lock that
      // readers of another port's handle hold.
      {
        std::lock_guard control(station.controlMutex_);
        if (rec.Present.load() == 0 && IsOpen(rec.hDevice)) {
          station.devices_.close(rec.hDevice);
          rec.hDevice = kInvalidHandle;
          port.display.setButtonEnabled(false);
        }
      }
      rec.Running.store(0);
      rec.Busy.store(false, std::memory_order_release);
    }
  } endOfJob{*this, p};

  if (!IsOpen(rec.hDevice)) {
    rec.hDevice = devices_.open(rec.DevicePath);
    if (!IsOpen(rec.hDevice)) {
      rec.hDevice = kInvalidHandle;
      p.display.setButtonEnabled(false);
      p.display.setText("");
      rec.DriveLetter.clear();
      return;
    }
  }
  rec.FixedSectors = 0;
  rec.FailureText.clear();  // no reason of an earlier job survives into this one

  PortJob job{k, rec, p.display, p.commands, tree_, messages_, options_, config_};
  bool highFormatPath = false;
  std::int32_t result = 0;
  std::string failure;
  try {
    result = runSequence(job, highFormatPath);
    if (!highFormatPath && options_.highChipCheck.load()) {
      // The soldering check's verdict replaces the result line.
      const bool ok = result == kSolderingCheckPassed;
      rec.LastResult = ok ? 0 : (result == 0 ? -1 : result);
      rec.StatusText = ok ? kSolderingOkText : kSolderingSuspectText;
      p.display.setBar(rec.StatusText, ok ? BarColour::Blue : BarColour::Red, 0);
      if (!ok) rec.FailureText = rec.StatusText;  // the verdict is the reason
      return;
    }
    if (!highFormatPath && result == kHandOverToHighFormat) {
      highFormatPath = true;
      result = sequence_.RunHighFormatOnly(job);
    }
  } catch (const std::bad_alloc&) {
    result = msg::kMemoryError;
    failure = messages_.str(msg::kMemoryError);
  } catch (const std::exception& e) {
    // A failure inside a stage is never success.
    result = -1;
    failure = std::string("internal error: ") + e.what();
  } catch (...) {
    result = -1;
    failure = "internal error";
  }
  rec.LastResult = result;
  if (result != 0) {
    // The result line below replaces the failing step's own message on the
    // bar; the report and the job summary keep it, so the reason is not lost.
    if (failure.empty()) failure = p.display.snapshot().text;
    const auto first = failure.find_first_not_of(' ');
    failure = first == std::string::npos ? "result " + std::to_string(result) : failure.substr(first);
    job.treeLine(failure);
  }
  rec.FailureText = std::move(failure);
  if (highFormatPath && options_.highChipCheck.load()) return;

  JobOutcome outcome;
  outcome.badPages = rec.BadPages;
  outcome.diskSectors = rec.DiskSectors;
  outcome.fixedSectors = highFormatPath ? rec.DiskSectors : rec.FixedSectors;
  outcome.elapsedSeconds = rec.ElapsedSeconds.load();
  outcome.binNo = rec.BinNo;
  rec.StatusText = FinishedStatusText(messages_, outcome);
  BarColour colour = BarColour::Blue;
  if (result != 0)
    colour = BarColour::Red;
  else if (options_.logicScan.load() && rec.LogicCleanPasses == 0)
    colour = BarColour::Magenta;
  p.display.setBar(ResultLine(messages_, outcome), colour, 0);
}

}  // namespace kvx
