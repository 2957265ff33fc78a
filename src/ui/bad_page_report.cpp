#include "ui/bad_page_report.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace kvx::ui {

std::string BadPageReportText(const std::vector<BadPageTree::Node>& nodes) {
  std::string out;
  for (const auto& node : nodes) {
    out += node.text;
    out += "\r\n";
    for (const auto& line : node.lines) {
      out.append(std::size_t(line.level > 0 ? line.level : 1), '\t');
      out += line.text;
      out += "\r\n";
    }
  }
  return out;
}

bool WriteBadPageReport(const std::filesystem::path& file,
                        const std::vector<BadPageTree::Node>& nodes, std::string& error) {
  const std::string text = BadPageReportText(nodes);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) {
    error = file.string() + ": " + std::strerror(errno);
    return false;
  }
  out.write(text.data(), std::streamsize(text.size()));
  out.close();
  if (!out) {
    error = file.string() + ": the report could not be written completely";
    return false;
  }
  return true;
}

}  // namespace kvx::ui
