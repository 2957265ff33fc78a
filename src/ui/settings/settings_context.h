#pragma once
// What every settings page works on: the settings pages' model over the
// station's image (config/settings_form.h), the lock that guards it, the
// operator for conversion errors, and the port map's two operations.
//
// Every read or write of the model, its form or the image happens with the
// lock held; a page copies what it shows while holding it and updates its
// widgets afterwards. Messages to the operator are shown after the lock is
// released, except for the questions the model itself asks (Delete of a
// flash type or code type), which it asks while the caller holds the lock.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings_form.h"
#include "engine/messages.h"
#include "engine/operator.h"

namespace kvx::ui {

struct SettingsContext {
  SettingsPages& pages;
  std::mutex& mutex;  // the station's control lock
  Operator& op;
  const MessageCatalogue& messages;
  // The port map's lines ("key=slot") and the clear-port-records command.
  std::function<std::vector<std::string>()> portList;
  std::function<void()> clearPorts;
  // The zone split's zone count changed (the status bar counts the zones).
  std::function<void(int zones)> zonesChanged;

  std::unique_lock<std::mutex> lock() const { return std::unique_lock<std::mutex>(mutex); }
  // For timers: nothing when another thread holds the lock right now.
  std::unique_lock<std::mutex> tryLock() const {
    return std::unique_lock<std::mutex>(mutex, std::try_to_lock);
  }

  // A conversion error or another notice, with the caption "Warning".
  void warn(const std::string& text) const {
    op.inform(OperatorMessage{msg::kWarning, 0, messages.str(msg::kWarning), text});
  }
  // What an editor's rule said: a rejected text is reported.
  void report(const EditResult& r) const {
    if (r.outcome == EditResult::Rejected) warn(r.error);
  }
};

}  // namespace kvx::ui
