#pragma once
// The live per-port table of the terminal station. On a terminal the lines
// are redrawn in place a few times a second, coloured like the window's bars;
// into a pipe or file, a plain line is printed for every port whose bar
// changed, at most once per period, so logs stay readable.

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/port_display.h"

namespace kvx::mp {

struct PortLine {
  int slot = 0;
  std::string key;
  PortView view;
};

// "Port-12  Port-1-1.3  <bar text with $p filled>".
std::string RenderPortLine(const PortLine& line);
// The ANSI colour that matches a bar colour.
const char* AnsiColour(BarColour c);

class TerminalProgress {
 public:
  TerminalProgress(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}
  void draw(const std::vector<PortLine>& lines);
  // Leaves the cursor below the table.
  void finish();

 private:
  std::FILE* out_;
  bool terminal_;
  int drawnLines_ = 0;
  std::map<int, std::uint64_t> printedVersion_;
};

}  // namespace kvx::mp
