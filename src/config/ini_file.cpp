#include "config/ini_file.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

namespace kvx {
namespace {

std::string_view Trim(std::string_view s) {
  // A stray CR (a line ending in CR CR LF) counts as blank, so a value reads
  // the same after the file is written back with plain LF endings.
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::optional<int> ParseDecimalInt(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  int v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, 10);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

IniDocument IniDocument::Parse(std::string_view text) {
  IniDocument doc;
  doc.sections_.push_back(Section{});
  // UTF-8 byte-order marks are not part of the first line.
  while (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string_view t = Trim(line);
    if (t.size() >= 2 && t.front() == '[' && t.find(']') != std::string_view::npos) {
      doc.sections_.push_back(Section{std::string(Trim(t.substr(1, t.find(']') - 1))), {}});
      continue;
    }
    Line l;
    l.raw = std::string(line);
    const std::size_t eq = t.find('=');
    if (eq != std::string_view::npos && !t.starts_with(';') && !t.starts_with('#')) {
      l.key = std::string(Trim(t.substr(0, eq)));
      l.value = std::string(Trim(t.substr(eq + 1)));
    }
    doc.sections_.back().lines.push_back(std::move(l));
  }
  return doc;
}

std::string IniDocument::Serialize() const {
  std::string out;
  for (const auto& s : sections_) {
    if (&s != &sections_.front()) out += "[" + s.name + "]\n";
    for (const auto& l : s.lines) {
      out += l.raw;
      out += '\n';
    }
  }
  return out;
}

const IniDocument::Section* IniDocument::find(std::string_view section) const {
  // The unnamed leading part is not a section that can be asked for.
  for (std::size_t i = 1; i < sections_.size(); ++i)
    if (SameName(sections_[i].name, section)) return &sections_[i];
  return nullptr;
}

IniDocument::Section* IniDocument::findMutable(std::string_view section) {
  return const_cast<Section*>(std::as_const(*this).find(section));
}

std::vector<std::pair<std::string, std::string>> IniDocument::pairs(
    std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> out;
  if (const Section* s = find(section))
    for (const auto& l : s->lines)
      if (!l.key.empty()) out.emplace_back(l.key, l.value);
  return out;
}

std::optional<std::string> IniDocument::value(std::string_view section,
                                              std::string_view key) const {
  if (const Section* s = find(section))
    for (const auto& l : s->lines)
      if (!l.key.empty() && SameName(l.key, key)) return l.value;
  return std::nullopt;
}

void IniDocument::set(std::string_view section, std::string_view key, std::string_view valueIn) {
  // A line break inside a value would start a new line in the file.
  std::string value(valueIn);
  std::replace(value.begin(), value.end(), '\r', ' ');
  std::replace(value.begin(), value.end(), '\n', ' ');
  Section* s = findMutable(section);
  if (!s) {
    sections_.push_back(Section{std::string(section), {}});
    s = &sections_.back();
  }
  const std::string raw = std::string(key) + "=" + std::string(value);
  for (auto& l : s->lines) {
    if (!l.key.empty() && SameName(l.key, key)) {
      l = Line{std::string(key), std::string(value), raw};
      return;
    }
  }
  // After the section's last pair, before trailing blank lines.
  auto pos = s->lines.end();
  while (pos != s->lines.begin() && Trim(std::prev(pos)->raw).empty()) --pos;
  s->lines.insert(pos, Line{std::string(key), std::string(value), raw});
}

bool IniDocument::erase(std::string_view section) {
  const Section* s = find(section);
  if (!s) return false;
  sections_.erase(sections_.begin() + (s - sections_.data()));
  return true;
}

std::optional<std::string> ReadTextFile(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxTextFileBytes) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return std::nullopt;
  std::string text = std::move(ss).str();
  if (text.size() > kMaxTextFileBytes) return std::nullopt;
  return text;
}

std::mutex& IniFile::lock() {
  static std::mutex m;
  return m;
}

IniDocument IniFile::read() const {
  const auto text = ReadTextFile(path_);
  return IniDocument::Parse(text ? *text : std::string());
}

FileResult IniFile::write(const IniDocument& doc) const {
  const std::string text = doc.Serialize();
  return WriteFileAtomically(
      path_, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::vector<std::string> IniFile::ReadSectionLines(std::string_view section) const {
  std::lock_guard guard(lock());
  std::vector<std::string> out;
  for (auto& [k, v] : read().pairs(section)) out.push_back(k + "=" + v);
  return out;
}

std::vector<std::pair<std::string, std::string>> IniFile::ReadSection(
    std::string_view section) const {
  std::lock_guard guard(lock());
  return read().pairs(section);
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view def) const {
  std::lock_guard guard(lock());
  auto v = read().value(section, key);
  return v ? *v : std::string(def);
}

int IniFile::ReadInteger(std::string_view section, std::string_view key, int def) const {
  std::lock_guard guard(lock());
  const auto v = read().value(section, key);
  if (!v) return def;
  return ParseDecimalInt(*v).value_or(def);
}

FileResult IniFile::WriteString(std::string_view section, std::string_view key,
                                std::string_view value) {
  std::lock_guard guard(lock());
  IniDocument doc = read();
  doc.set(section, key, value);
  return write(doc);
}

FileResult IniFile::WriteInteger(std::string_view section, std::string_view key, long long value) {
  return WriteString(section, key, std::to_string(value));
}

FileResult IniFile::EraseSection(std::string_view section) {
  std::lock_guard guard(lock());
  IniDocument doc = read();
  if (!doc.erase(section)) return {};
  return write(doc);
}

}  // namespace kvx
