#pragma once
// Station: owner of the 64 ports, their workers and everything they share
// (settings image, live options, message table, bad-page tree, devices).
// The window and the terminal station are thin front ends over it.
//
// Threads: the command methods (StartAll, StopAll, PortButtonClick, KeyPress,
// Tick, RequestClose, FinishClose, Close) belong to one front-end thread, the
// "window thread". Each port
// has a worker thread while its job runs. Workers never wait for each other
// and never take a station-wide lock; control operations and port discovery
// serialise on controlMutex(), which no worker touches.

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "config/config_image.h"
#include "device/commands.h"
#include "device/transport.h"
#include "engine/bad_page_tree.h"
#include "engine/bins_serials.h"
#include "engine/live_options.h"
#include "engine/messages.h"
#include "engine/operator.h"
#include "engine/port_display.h"
#include "engine/port_record.h"
#include "engine/production_sequence.h"

namespace kvx {

enum class StationKey { Space, CtrlC, CtrlS, Escape, Other };
enum class Panel { Production, Settings };
enum class KeyAction { None, StartAll, StopAll, ShowSettings, Close, ReturnFromSettings };

// Work the station hands to other parts at fixed points.
struct StationHooks {
  // Job start: the serial-number text of the job (the port's record holds
  // the fresh snapshots). Not set: the serial text is left empty. A serial
  // that cannot be given ends the job before it starts, in red.
  std::function<SerialOutcome(FORMATINFO& rec, int port)> makeSerial;
  // Close: stop the hot-plug watcher and the port-enumeration thread.
  std::function<void()> stopAuxiliaryThreads;
  // Close and the return from the settings view: apply and save the settings.
  std::function<void()> saveSettings;
};

// "Port-" and the 1-based port number, padded with blanks to 7 characters.
std::string PortButtonCaption(int port);

class Station {
 public:
  Station(DeviceAccess& devices, ProductionSequence& sequence, Operator& op, Language language,
          StationHooks hooks = {});
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  ConfigImage& config() { return config_; }
  LiveOptions& options() { return options_; }
  const MessageCatalogue& messages() const { return messages_; }
  BadPageTree& badPageTree() { return tree_; }
  DeviceAccess& devices() { return devices_; }
  StationHooks& hooks() { return hooks_; }

  FORMATINFO& record(int port) { return ports_[port].rec; }
  PortDisplay& display(int port) { return ports_[port].display; }
  CommandContext& commands(int port) { return ports_[port].commands; }
  std::mutex& controlMutex() { return controlMutex_; }

  // --- commands of the window thread ---
  // Starts every port with a caption, an enabled button and no running job,
  // in port order; empties the bad-page tree first; enables Stop All.
  void StartAll();
  // Asks "Stop all?"; on OK asks every job to stop.
  void StopAll();
  // The port's button: start an idle port, or ask "Stop it?" for a running one.
  void PortButtonClick(int port);
  KeyAction KeyPress(StationKey key);
  // The one-second timer: advances the elapsed time of running jobs.
  void Tick();

  // Closing comes in two halves so that the window thread never waits for a
  // worker stuck in a slow device command.
  //
  // RequestClose asks "Exit DEDuro?"; on OK it stops the auxiliary threads
  // and asks every job to stop, and returns at once. From then on no job
  // starts and Stop All asks nothing. False when the operator cancelled.
  // Once a close is under way it asks nothing more and returns true.
  bool RequestClose();
  // The second half, to be called again until it returns true: once no port
  // is busy it saves the settings and closes every open handle, exactly once.
  // False while a job still runs or when no close was requested.
  bool FinishClose();
  // The blocking form for front ends that may wait (the terminal station):
  // RequestClose, wait for every worker, FinishClose.
  bool Close();
  bool closing() const { return closing_.load(); }
  bool closed() const { return closed_; }

  bool stopAllEnabled() const { return stopAllEnabled_; }
  Panel panel() const { return panel_; }
  bool busy(int port) const { return ports_[port].rec.Busy.load(); }
  bool anyBusy() const;
  // Blocks until no port is busy.
  void WaitForIdle();

 private:
  struct Port {
    FORMATINFO rec;
    PortDisplay display;
    CommandContext commands;
    std::jthread worker;
  };

  bool startable(int port) const;
  void refreshSnapshots(int port);
  // False when the job could not start (its bar says why).
  bool startJob(int port);
  void workerBody(int port);
  std::int32_t runSequence(PortJob& job, bool& highFormatPath);
  bool ask(MessageId text);

  DeviceAccess& devices_;
  ProductionSequence& sequence_;
  Operator& operator_;
  MessageCatalogue messages_;
  StationHooks hooks_;
  ConfigImage config_;
  LiveOptions options_;
  BadPageTree tree_;
  std::mutex controlMutex_;
  std::unique_ptr<std::array<Port, kPortCount>> portStorage_;
  std::array<Port, kPortCount>& ports_;
  bool stopAllEnabled_ = false;
  Panel panel_ = Panel::Production;
  // Set by RequestClose; read by startable() under the control lock too.
  std::atomic<bool> closing_{false};
  bool closed_ = false;
};

}  // namespace kvx
