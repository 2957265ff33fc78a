#include "app/mp/terminal_progress.h"

#include "engine/station.h"

namespace kvx::mp {

const char* AnsiColour(BarColour c) {
  switch (c) {
    case BarColour::Blue:
      return "\033[1;34m";
    case BarColour::Red:
      return "\033[1;31m";
    case BarColour::Magenta:
      return "\033[1;35m";
    case BarColour::Purple:
      return "\033[0;35m";
  }
  return "";
}

std::string RenderPortLine(const PortLine& line) {
  std::string slot = PortButtonCaption(line.slot);
  std::string key = line.key;
  if (key.size() < 14) key.resize(14, ' ');
  return slot + "  " + key + "  " + ExpandPercent(line.view.text, line.view.percent);
}

void TerminalProgress::draw(const std::vector<PortLine>& lines) {
  if (terminal_) {
    // Back to the top of the table, then every line cleared and redrawn.
    if (drawnLines_ > 0) std::fprintf(out_, "\033[%dA", drawnLines_);
    for (const auto& l : lines)
      std::fprintf(out_, "\r\033[2K%s%s\033[0m\n", AnsiColour(l.view.colour),
                   RenderPortLine(l).c_str());
    drawnLines_ = int(lines.size());
  } else {
    for (const auto& l : lines) {
      auto& printed = printedVersion_[l.slot];
      if (printed == l.view.version && printed != 0) continue;
      printed = l.view.version;
      std::fprintf(out_, "[%s] %s\n", ColourName(l.view.colour), RenderPortLine(l).c_str());
    }
  }
  std::fflush(out_);
}

void TerminalProgress::finish() {
  drawnLines_ = 0;
  std::fflush(out_);
}

}  // namespace kvx::mp
