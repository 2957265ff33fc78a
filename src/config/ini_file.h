#pragma once
// Ini files: "[Section]" headers and "key=value" lines, UTF-8, CR LF or LF.
// Section and key names compare without regard to ASCII case; blanks around
// names and values are dropped. Lines before the first section and lines that
// are not key=value pairs (comments, blank lines) are kept when the file is
// written back.
//
// Used for the station's ini file (port map in section "Ports", one section
// per locale naming the language file) and, read-only, for language files.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/settings_file.h"

namespace kvx {

// Text files larger than this are not read (treated as unreadable): an ini or
// language file is a few kilobytes; the limit keeps a wrong path from pulling
// gigabytes into memory.
inline constexpr std::uintmax_t kMaxTextFileBytes = 16u << 20;

// An ini file's contents in memory.
class IniDocument {
 public:
  struct Line {
    std::string key;    // empty for lines that are not key=value
    std::string value;  // the text after the first '='
    std::string raw;    // the line as read (without its line end)
  };
  struct Section {
    std::string name;  // empty for the lines before the first header
    std::vector<Line> lines;
  };

  static IniDocument Parse(std::string_view text);
  std::string Serialize() const;

  const Section* find(std::string_view section) const;
  // The key=value pairs of a section in file order (nothing when absent).
  std::vector<std::pair<std::string, std::string>> pairs(std::string_view section) const;
  std::optional<std::string> value(std::string_view section, std::string_view key) const;
  // Sets a value, adding the section (at the end) and the key when missing.
  void set(std::string_view section, std::string_view key, std::string_view value);
  // Removes a section with all its lines; false when it did not exist.
  bool erase(std::string_view section);
  const std::vector<Section>& sections() const { return sections_; }

 private:
  Section* findMutable(std::string_view section);
  std::vector<Section> sections_;
};

// Reads a text file of at most kMaxTextFileBytes; nothing when it is missing,
// too large or unreadable.
std::optional<std::string> ReadTextFile(const std::filesystem::path& path);

// An ini file on disk. Every call reads the file afresh, and every write
// replaces it crash-safely. Calls of all IniFile objects of the process are
// serialised by one lock, so two threads (the port refresh and the window)
// never lose each other's writes, also through different objects.
class IniFile {
 public:
  explicit IniFile(std::filesystem::path path) : path_(std::move(path)) {}
  const std::filesystem::path& path() const { return path_; }

  // The section's lines as "key=value" texts, in file order.
  std::vector<std::string> ReadSectionLines(std::string_view section) const;
  std::vector<std::pair<std::string, std::string>> ReadSection(std::string_view section) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view def) const;
  // The value as a decimal integer; `def` when the key is missing or its value
  // is not a whole decimal number in the range of int (" 12 " reads 12, "abc",
  // "12abc" and "99999999999" read `def`).
  int ReadInteger(std::string_view section, std::string_view key, int def) const;

  FileResult WriteString(std::string_view section, std::string_view key, std::string_view value);
  FileResult WriteInteger(std::string_view section, std::string_view key, long long value);
  FileResult EraseSection(std::string_view section);

 private:
  IniDocument read() const;
  FileResult write(const IniDocument& doc) const;

  static std::mutex& lock();

  std::filesystem::path path_;
};

// A whole decimal integer in the range of int, blanks around it allowed.
std::optional<int> ParseDecimalInt(std::string_view text);

}  // namespace kvx
