#pragma once
// The firmware code types page: the list of code types (records of the
// code-type table in list order), Add, Delete, Load from an image file, and
// the name and number editors. No widgets; every command writes the image.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_image.h"
#include "config/flash_types.h"
#include "engine/messages.h"
#include "engine/operator.h"

namespace kvx {

// The code checksum of one copy: its first realSectors x 128 little-endian
// 32-bit words are the code proper; the last of them becomes the exclusive-or
// of all the words before it. Nothing for 0 sectors; words past the end of
// `copy` are not touched (the checksum then covers what the span holds).
void CodeChecksum(std::span<std::uint8_t> copy, unsigned realSectors);

inline constexpr const char* kUnnamedCodeType = "not_named_code_type";

// The code-type name a loaded file gives: its name without folder up to its
// first "."; "not_named_code_type" when that is empty or the name has no ".".
std::string CodeNameFromFile(const std::filesystem::path& file);

enum class CodeNumber { RealCodeLength, CodeLength, CodeCount };

class CodeTypePage {
 public:
  // Code-type deletion removes the first flash type that used it, through the
  // flash-type page so its list and selection follow.
  CodeTypePage(ConfigImage& image, FlashTypePage& flashTypes, Operator& op,
               const MessageCatalogue& messages)
      : image_(image), flashTypes_(flashTypes), operator_(op), messages_(messages) {}

  // At start: the names of the records in use; the first entry selected.
  void Fill();

  const std::vector<std::string>& names() const { return names_; }
  int selected() const { return selected_; }
  bool addEnabled() const { return addEnabled_; }
  bool deleteEnabled() const { return deleteEnabled_; }
  bool loadEnabled() const { return loadEnabled_; }
  const std::string& nameText() const { return nameText_; }
  const std::string& numberText(CodeNumber n) const { return numberTexts_[std::size_t(n)]; }
  // What the read-only hexadecimal view shows: the first CodeCount x
  // CodeLength x 512 bytes of the selected image (empty without a selection).
  std::span<const std::uint8_t> view() const;

  void Select(int index);  // a click or key on the list
  void ShowCodeType();
  void Add();
  // Asks 32848; then removes the entry, the first flash type whose CodeType
  // named it, and renumbers the references of the remaining flash types.
  void Delete();
  // Loads the selected code type's image from `file` (the file dialog's
  // choice). A file that cannot be opened changes nothing; false then.
  bool Load(const std::filesystem::path& file);

  // Name editor: every change; NameEditorLeft when focus leaves it.
  void EditName(std::string_view text);
  void NameEditorLeft();
  EditResult EditNumber(CodeNumber which, std::string_view text);

 private:
  std::size_t count() const { return names_.size(); }
  CodeTypeRecord record() { return image_.codeTypeRecord(std::size_t(selected_)); }
  void updateButtons();

  ConfigImage& image_;
  FlashTypePage& flashTypes_;
  Operator& operator_;
  const MessageCatalogue& messages_;
  std::vector<std::string> names_;
  int selected_ = -1;
  bool addEnabled_ = true, deleteEnabled_ = false, loadEnabled_ = false;
  std::string nameText_;
  std::array<std::string, 3> numberTexts_;
};

}  // namespace kvx
