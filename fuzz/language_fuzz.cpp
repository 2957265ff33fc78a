// Language files as any file could hold them: very long lines, no sections,
// odd keys. The ECC option list never exceeds the eight levels.
#include <cstdint>
#include <string>
#include <string_view>

#include "config/language_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const kvx::LanguageFile f = kvx::LanguageFile::FromText(text);
  // Every "~~" became a line break; a component name is one part of the key.
  for (const auto& t : f.TranslationsFor("MainForm"))
    if (t.text.find("~~") != std::string::npos || t.component.find('.') != std::string::npos)
      __builtin_trap();
  if (f.EccOptions().size() > kvx::kMaxEccOptions) __builtin_trap();
  return 0;
}
