#pragma once
// Keeps the port map current without the operator: counts disk arrivals and
// removals from a HotplugSource, and every 200 ms, when any were counted,
// cuts a running refresh short and asks for a new one. Refreshes run on a
// thread of their own (the enumeration thread), one at a time; requests that
// arrive while one runs fold into a single follow-up refresh.
//
// The desktop system of the original station showed notices about unsafely
// removed disks and restart questions that had to be closed by a program;
// a Linux session shows none, so PopupCloser has a no-op implementation.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "device/port_discovery.h"
#include "device/usb_topology.h"

namespace kvx {

class PopupCloser {
 public:
  virtual ~PopupCloser() = default;
  // Closes the system's removal notices and declines restart questions.
  virtual void closePopups() = 0;
};

class NoPopups final : public PopupCloser {
 public:
  void closePopups() override {}
};

// Runs refreshes on its own thread when asked.
class RefreshWorker {
 public:
  explicit RefreshWorker(std::function<void()> refresh);
  ~RefreshWorker();
  void request();
  // Refreshes completed so far.
  std::uint64_t completed() const { return completed_.load(); }

 private:
  void run(std::stop_token stop);

  std::function<void()> refresh_;
  std::mutex m_;
  std::condition_variable_any cv_;
  bool pending_ = false;
  std::atomic<std::uint64_t> completed_{0};
  std::jthread thread_;
};

class HotplugWatcher {
 public:
  static constexpr std::chrono::milliseconds kPeriod{200};

  // `requestRefresh` is called on the watcher thread; it must not block for long.
  HotplugWatcher(PortDiscovery& discovery, HotplugSource& source,
                 std::function<void()> requestRefresh, PopupCloser* popups = nullptr);
  ~HotplugWatcher();

  // Starts the source and the 200 ms loop. With `announce`, one change is
  // counted at once, so the first refresh happens by itself when disks are
  // already attached at start-up.
  void start(bool announce = true);
  void stop();

 private:
  void run(std::stop_token stop);

  PortDiscovery& discovery_;
  HotplugSource& source_;
  std::function<void()> requestRefresh_;
  PopupCloser* popups_;
  std::mutex m_;
  std::condition_variable_any cv_;
  std::jthread thread_;
  bool sourceStarted_ = false;
};

}  // namespace kvx
