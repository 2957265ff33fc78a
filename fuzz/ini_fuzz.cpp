// Ini text as any file could hold it. Beyond not crashing: writing a parsed
// file and reading it again gives the same sections and key=value pairs.
#include <cstdint>
#include <string>
#include <string_view>

#include "config/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const kvx::IniDocument doc = kvx::IniDocument::Parse(text);
  const kvx::IniDocument again = kvx::IniDocument::Parse(doc.Serialize());
  if (doc.sections().size() != again.sections().size()) __builtin_trap();
  for (std::size_t i = 0; i < doc.sections().size(); ++i) {
    const auto& a = doc.sections()[i];
    const auto& b = again.sections()[i];
    if (a.name != b.name || a.lines.size() != b.lines.size()) __builtin_trap();
    for (std::size_t k = 0; k < a.lines.size(); ++k)
      if (a.lines[k].key != b.lines[k].key || a.lines[k].value != b.lines[k].value)
        __builtin_trap();
  }
  // Reads the port map the way discovery does.
  for (const auto& [key, value] : doc.pairs("Ports")) (void)kvx::ParseDecimalInt(value);
  kvx::IniDocument edited = doc;
  edited.set("Ports", "Port-1-1.2", text.substr(0, 16));
  if (!edited.value("Ports", "Port-1-1.2")) __builtin_trap();
  if (!edited.erase("Ports")) __builtin_trap();
  return 0;
}
