#pragma once
// Language files: ini syntax, UTF-8. Section "Translations" holds one line per
// translated property, keyed "<Window>.<Property>" or
// "<Window>.<Component>.<Property>" with Property one of Caption, Hint, Text;
// "~~" in a value stands for a line break. Section "EccOpen" lists the ECC
// options of the scan, one "key=text" line each, in file order.
//
// The ini file names the language file per locale: section "0804" (the
// locale id as four upper-case hexadecimal digits), key "MainForm".

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/ini_file.h"

namespace kvx {

// The ECC level of the scan is the option's index and shares a command byte
// with other bits: levels 0..7 only, so at most 8 options are offered.
inline constexpr std::size_t kMaxEccOptions = 8;

enum class TextProperty { Caption, Hint, Text };

// One translated string property. `component` is empty for the window itself.
struct Translation {
  std::string component;
  TextProperty property = TextProperty::Caption;
  std::string text;  // line breaks as '\n'
};

// The texts of one component (or of the window, with an empty name) when a
// language file is made from the window.
struct ComponentTexts {
  std::string component;
  std::string caption, hint, text;
};

class LanguageFile {
 public:
  // Nothing when the file is missing or unreadable.
  static std::optional<LanguageFile> Load(const std::filesystem::path& path);
  static LanguageFile FromText(std::string_view text);

  // The translations for `window` (exact, case-sensitive comparison of the
  // key's first part), in file order. Keys of other windows, with an unknown
  // property or with more than three parts are skipped.
  std::vector<Translation> TranslationsFor(std::string_view window) const;
  // The texts of section "EccOpen" (each line's part after the first "="),
  // in file order, at most kMaxEccOptions.
  std::vector<std::string> EccOptions() const;

  // Writes a new language file from a window's texts: the window caption and
  // every component's caption, hint and text; "-" captions (menu separators)
  // and empty values are left out. The window entry has an empty component.
  static FileResult Create(const std::filesystem::path& path, std::string_view window,
                           const std::vector<ComponentTexts>& components);

 private:
  IniDocument doc_;
};

// "0804" for 0x0804: the ini section of a locale.
std::string LocaleSection(std::uint32_t localeId);

// The default language file of a locale, relative to the station folder:
// Lang/ChineseSimplified.lng for 0x0804, Lang/ChineseTraditional.lng for
// 0x0404, Lang/English.lng for every other locale.
std::string DefaultLanguageFile(std::uint32_t localeId);

// The language file the ini names for `localeId` (the default when the ini or
// the key is missing), resolved against `stationDir`; the value is written
// back to the ini, so the operator finds the key to edit. Windows-style
// values (".\Lang\English.lng") are accepted.
std::filesystem::path ChooseLanguageFile(IniFile& ini, std::uint32_t localeId,
                                         const std::filesystem::path& stationDir);

// The language step of the start-up: the file the ini names for the locale;
// when it exists, its translations for `window` and its ECC options; when it
// does not, it is created from the window's current texts (the window keeps
// them, and there are no ECC options).
struct LanguageStart {
  std::filesystem::path path;
  bool created = false;     // the file was missing and has been written
  FileResult createResult;  // why a missing file could not be written
  std::vector<Translation> translations;
  std::vector<std::string> eccOptions;
};
LanguageStart StartLanguage(IniFile& ini, std::uint32_t localeId,
                            const std::filesystem::path& stationDir, std::string_view window,
                            const std::vector<ComponentTexts>& currentTexts);

}  // namespace kvx
