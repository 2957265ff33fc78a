#pragma once
// The flash-type database page: the list of flash types (the records of the
// flash-type table in list order), its commands and one editor per field.
// No widgets: the window binds its list, menu and editors to FlashTypePage's
// state and calls its commands; every command writes the image at once.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_image.h"
#include "engine/messages.h"
#include "engine/operator.h"

namespace kvx {

// Editors with a text, by the record field they write.
enum class FlashField {
  FlashName,
  MainFlashID,
  ExtFlashID,
  // decimal
  BlkPerScanStep,
  BlockPerChip,
  PagePerBlock,
  SectorPerPage,
  LogSectPerPage,
  LogSectStartInPage,
  ColumCycle,
  RowCycle,
  // hexadecimal bytes
  ReadSpeed,
  WriteSpeed,
  Cache,
  FcCyl2,
  BankNumRd,
  BankNumWr,
  BankNumErs,
  BlkEraseTimes,
  BankProgCmd,
  BlkEraseIncAddr,
  CacheStatus,
  ProgStatus,
  EraseStatus,
  Count
};
inline constexpr std::size_t kFlashFieldCount = std::size_t(FlashField::Count);

// A check box: one bit of one record byte; the other bits are kept.
struct FlashFlag {
  const char* name;  // the check box's component name
  std::size_t offset;
  int bit;
};
// Flash_16Bit, Copyback, IsMlcFlash, DoubleDie, NandType, cyl00DlyEnab,
// rand_enable and the 24 jump flags of bytes 98..100.
extern const std::array<FlashFlag, 31> kFlashFlags;
// Index into kFlashFlags of the box named `name`, or -1.
int FlashFlagIndex(std::string_view name);

// What a field edit did.
struct EditResult {
  enum Outcome { Stored, Unchanged, Rejected } outcome = Unchanged;
  std::string error;  // for Rejected: the conversion error shown to the operator
  // The editor's text when the rule replaced it (a value above a limit shown
  // as the limit, ...); empty when the editor keeps what was typed.
  std::string replacementText;
};
// The conversion error of a decimal editor.
std::string NotAnIntegerText(std::string_view text);

// Moves records index+1..count-1 down by one and zeroes record count-1;
// nothing when index is -1, count is 0 or index is not below count.
void RemoveFlashType(ConfigImage& image, int index, int count);

inline constexpr const char* kUnnamedFlashType = "not_named_flash_type";

class FlashTypePage {
 public:
  struct Menu {
    bool add = false, del = false, copy = false, paste = false, up = false, down = false;
  };

  FlashTypePage(ConfigImage& image, Operator& op, const MessageCatalogue& messages)
      : image_(image), operator_(op), messages_(messages) {}

  // At start: the list from the table (up to the first empty name), the last
  // entry selected and shown.
  void Fill();

  // --- state the window shows ---
  const std::vector<std::string>& names() const { return names_; }
  int selected() const { return selected_; }
  int clipboard() const { return clipboard_; }
  const Menu& menu() const { return menu_; }
  const std::string& text(FlashField f) const { return texts_[std::size_t(f)]; }
  bool flag(std::size_t flagIndex) const { return flags_[flagIndex]; }
  const std::vector<std::string>& codeTypeNames() const { return codeNames_; }
  int codeTypeItem() const { return codeTypeItem_; }
  int scanCodeItem() const { return scanCodeItem_; }

  // --- list commands ---
  void Select(int index);  // a click or key on the list; -1 clears the selection
  void Add();
  void Delete();  // asks 32849 first
  void Copy();
  void Paste();
  void Up();
  void Down();
  void OpenMenu();  // the context menu's enabling rules
  // Removes entry `index` without asking (code-type deletion): the record,
  // the list entry, and the selection moved as by Delete.
  void RemoveEntry(int index);

  // The flash-configuration page is opened: the code-type drop-downs get the
  // current names; the selected record is shown again.
  void PageOpened();
  // Fills the editors from the selected record (through the field rules: a
  // bLogSectPerPage of 0 is stored as 4).
  void ShowFlashType();

  // --- field editors (nothing without a selection) ---
  EditResult Edit(FlashField field, std::string_view text);
  void SetFlag(std::size_t flagIndex, bool on);
  void SetCodeType(int item);
  void SetScanCode(int item);

 private:
  std::size_t count() const { return names_.size(); }
  FlashTypeRecord record() { return image_.flashTypeRecord(std::size_t(selected_)); }

  ConfigImage& image_;
  Operator& operator_;
  const MessageCatalogue& messages_;
  std::vector<std::string> names_;
  int selected_ = -1;
  int clipboard_ = -1;
  Menu menu_;
  std::array<std::string, kFlashFieldCount> texts_;
  std::array<bool, 31> flags_{};
  std::vector<std::string> codeNames_;
  int codeTypeItem_ = -1, scanCodeItem_ = -1;
};

}  // namespace kvx
