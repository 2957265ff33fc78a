#pragma once
// Everything one running job may touch: its own port's record, display and
// command context, and the station's shared read-mostly parts. Handed to the
// production sequence by the port's worker.

#include <cstdint>
#include <string>

#include "config/config_image.h"
#include "device/commands.h"
#include "engine/bad_page_tree.h"
#include "engine/live_options.h"
#include "engine/messages.h"
#include "engine/port_display.h"
#include "engine/port_record.h"

namespace kvx {

struct PortJob {
  int port;
  FORMATINFO& rec;
  PortDisplay& display;
  CommandContext& commands;
  BadPageTree& tree;
  const MessageCatalogue& messages;
  const LiveOptions& options;
  const ConfigImage& config;

  // The operator asked this job to stop (or the station is closing).
  bool stopRequested() const { return rec.Running.load(std::memory_order_acquire) == 0; }

  // Shows a message on the port's bar (and keeps it as the status text).
  void show(MessageId id, BarColour colour) {
    rec.StatusText = messages.str(id);
    display.setText(rec.StatusText);
    display.setColour(colour);
  }
  // Shows message 33025 "Cancel" in purple: the job noticed the stop request.
  void showCancelled() { show(msg::kCancel, BarColour::Purple); }
  // A line under the job's node in the bad-page tree.
  void treeLine(const std::string& text, int level = 1) { tree.addLine(rec.BadBlkNode, text, level); }
};

}  // namespace kvx
