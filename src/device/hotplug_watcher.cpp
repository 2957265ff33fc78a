#include "device/hotplug_watcher.h"

namespace kvx {

RefreshWorker::RefreshWorker(std::function<void()> refresh)
    : refresh_(std::move(refresh)), thread_([this](std::stop_token st) { run(st); }) {}

RefreshWorker::~RefreshWorker() {
  thread_.request_stop();
  cv_.notify_all();
}

void RefreshWorker::request() {
  {
    std::lock_guard l(m_);
    pending_ = true;
  }
  cv_.notify_all();
}

void RefreshWorker::run(std::stop_token stop) {
  for (;;) {
    {
      std::unique_lock l(m_);
      if (!cv_.wait(l, stop, [this] { return pending_; })) return;
      pending_ = false;
    }
    refresh_();
    ++completed_;
  }
}

HotplugWatcher::HotplugWatcher(PortDiscovery& discovery, HotplugSource& source,
                               std::function<void()> requestRefresh, PopupCloser* popups)
    : discovery_(discovery),
      source_(source),
      requestRefresh_(std::move(requestRefresh)),
      popups_(popups) {}

HotplugWatcher::~HotplugWatcher() { stop(); }

void HotplugWatcher::start(bool announce) {
  stop();
  source_.start([this] { discovery_.noteDeviceChange(); });
  sourceStarted_ = true;
  if (announce) discovery_.noteDeviceChange();
  thread_ = std::jthread([this](std::stop_token st) { run(st); });
}

void HotplugWatcher::stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    cv_.notify_all();
    thread_.join();
  }
  if (sourceStarted_) {
    source_.stop();
    sourceStarted_ = false;
  }
}

void HotplugWatcher::run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    if (popups_) popups_->closePopups();
    if (discovery_.deviceChangeCount() > 0) {
      if (discovery_.refreshRunning()) discovery_.cutShort();
      requestRefresh_();
    }
    std::unique_lock l(m_);
    cv_.wait_for(l, stop, kPeriod, [] { return false; });
  }
}

}  // namespace kvx
