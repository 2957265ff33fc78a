#include "config/language_file.h"

#include <algorithm>
#include <cstdio>

namespace kvx {
namespace {

constexpr std::string_view kTranslations = "Translations";
constexpr std::string_view kEccOpen = "EccOpen";

std::optional<TextProperty> PropertyNamed(std::string_view name) {
  if (name == "Caption") return TextProperty::Caption;
  if (name == "Hint") return TextProperty::Hint;
  if (name == "Text") return TextProperty::Text;
  return std::nullopt;
}

std::string Replace(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  std::size_t i = 0;
  while (i < s.size()) {
    if (s.substr(i).starts_with(from)) {
      out += to;
      i += from.size();
    } else {
      out += s[i++];
    }
  }
  return out;
}

}  // namespace

std::optional<LanguageFile> LanguageFile::Load(const std::filesystem::path& path) {
  const auto text = ReadTextFile(path);
  if (!text) return std::nullopt;
  return FromText(*text);
}

LanguageFile LanguageFile::FromText(std::string_view text) {
  LanguageFile f;
  f.doc_ = IniDocument::Parse(text);
  return f;
}

std::vector<Translation> LanguageFile::TranslationsFor(std::string_view window) const {
  std::vector<Translation> out;
  for (const auto& [key, value] : doc_.pairs(kTranslations)) {
    std::vector<std::string_view> parts;
    std::string_view k = key;
    for (std::size_t dot; (dot = k.find('.')) != std::string_view::npos;) {
      parts.push_back(k.substr(0, dot));
      k.remove_prefix(dot + 1);
    }
    parts.push_back(k);
    if (parts.size() < 2 || parts.size() > 3 || parts[0] != window) continue;
    const auto prop = PropertyNamed(parts.back());
    if (!prop || (parts.size() == 3 && parts[1].empty())) continue;
    out.push_back(Translation{parts.size() == 3 ? std::string(parts[1]) : std::string(), *prop,
                              Replace(value, "~~", "\n")});
  }
  return out;
}

std::vector<std::string> LanguageFile::EccOptions() const {
  std::vector<std::string> out;
  for (auto& [key, value] : doc_.pairs(kEccOpen)) {
    if (out.size() == kMaxEccOptions) break;
    out.push_back(value);
  }
  return out;
}

FileResult LanguageFile::Create(const std::filesystem::path& path, std::string_view window,
                                const std::vector<ComponentTexts>& components) {
  std::string out = "[Translations]\n";
  auto line = [&](const std::string& component, std::string_view prop, const std::string& value) {
    if (value.empty()) return;
    // Line breaks are written as "~~"; a bare CR is dropped.
    std::string v = Replace(Replace(value, "\r\n", "\n"), "\n", "~~");
    v.erase(std::remove(v.begin(), v.end(), '\r'), v.end());
    out += std::string(window) + (component.empty() ? "" : "." + component) + "." +
           std::string(prop) + "=" + v + "\n";
  };
  for (const auto& c : components) {
    if (c.caption != "-") line(c.component, "Caption", c.caption);
    line(c.component, "Hint", c.hint);
    line(c.component, "Text", c.text);
  }
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  return WriteFileAtomically(
      path, std::span(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()));
}

std::string LocaleSection(std::uint32_t localeId) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X", unsigned(localeId & 0xFFFF));
  return buf;
}

std::string DefaultLanguageFile(std::uint32_t localeId) {
  switch (localeId) {
    case 0x0804:
      return "Lang/ChineseSimplified.lng";
    case 0x0404:
      return "Lang/ChineseTraditional.lng";
    default:
      return "Lang/English.lng";
  }
}

std::filesystem::path ChooseLanguageFile(IniFile& ini, std::uint32_t localeId,
                                         const std::filesystem::path& stationDir) {
  const std::string section = LocaleSection(localeId);
  std::string value = ini.ReadString(section, "MainForm", DefaultLanguageFile(localeId));
  if (value.empty()) value = DefaultLanguageFile(localeId);
  ini.WriteString(section, "MainForm", value);  // a failed write only loses the hint
  std::string path = value;
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.starts_with("./")) path.erase(0, 2);
  const std::filesystem::path p(path);
  return p.is_absolute() ? p : stationDir / p;
}

LanguageStart StartLanguage(IniFile& ini, std::uint32_t localeId,
                            const std::filesystem::path& stationDir, std::string_view window,
                            const std::vector<ComponentTexts>& currentTexts) {
  LanguageStart start;
  start.path = ChooseLanguageFile(ini, localeId, stationDir);
  if (const auto file = LanguageFile::Load(start.path)) {
    start.translations = file->TranslationsFor(window);
    start.eccOptions = file->EccOptions();
    return start;
  }
  std::error_code ec;
  if (std::filesystem::exists(start.path, ec))
    return start;  // there but unreadable: never overwritten
  start.createResult = LanguageFile::Create(start.path, window, currentTexts);
  start.created = bool(start.createResult);
  return start;
}

}  // namespace kvx
