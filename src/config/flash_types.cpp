#include "config/flash_types.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "config/ini_file.h"

namespace kvx {
namespace {

using R = FlashTypeRecord;

struct FieldRule {
  enum Kind { Name, MainId, ExtId, Decimal, Hex } kind;
  std::size_t offset;
  int width;       // bytes of a decimal field
  int emptyValue;  // what an empty decimal editor stores
};

constexpr std::array<FieldRule, kFlashFieldCount> kRules = {{
    {FieldRule::Name, R::kName, 0, 0},
    {FieldRule::MainId, R::kMainFlashId, 4, 0},
    {FieldRule::ExtId, R::kExtFlashId, 1, 0},
    {FieldRule::Decimal, R::kBlkPerScanStep, 1, 1},
    {FieldRule::Decimal, R::kBlockPerChip, 4, 0},
    {FieldRule::Decimal, R::kPagePerBlock, 2, 0},
    {FieldRule::Decimal, R::kSectorPerPage, 1, 4},
    {FieldRule::Decimal, R::kLogSectPerPage, 1, 4},
    {FieldRule::Decimal, R::kLogSectStartInPage, 1, 0},
    {FieldRule::Decimal, R::kColumCycle, 1, 0},
    {FieldRule::Decimal, R::kRowCycle, 1, 0},
    {FieldRule::Hex, R::kReadSpeed, 1, 0},
    {FieldRule::Hex, R::kWriteSpeed, 1, 0},
    {FieldRule::Hex, R::kCache, 1, 0},
    {FieldRule::Hex, R::kFcCyl2, 1, 0},
    {FieldRule::Hex, R::kBankNumRd, 1, 0},
    {FieldRule::Hex, R::kBankNumWr, 1, 0},
    {FieldRule::Hex, R::kBankNumErs, 1, 0},
    {FieldRule::Hex, R::kBlkEraseTimes, 1, 0},
    {FieldRule::Hex, R::kBankProgCmd, 1, 0},
    {FieldRule::Hex, R::kBlkEraseIncAddr, 1, 0},
    {FieldRule::Hex, R::kCacheStatus, 1, 0},
    {FieldRule::Hex, R::kProgStatus, 1, 0},
    {FieldRule::Hex, R::kEraseStatus, 1, 0},
}};

std::string Hex(std::uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, unsigned(v));
  return buf;
}

}  // namespace

const std::array<FlashFlag, 31> kFlashFlags = {{
    {"Flash_16Bit", 44, 0},
    {"Copyback", 44, 2},
    {"IsMlcFlash", 44, 7},
    {"DoubleDie", 45, 0},
    {"NandType", 45, 3},
    {"cyl00DlyEnab", 45, 5},
    {"rand_enable", 93, 2},
    {"bJmp_mainloop", 98, 0},
    {"bJmp_isr0", 98, 1},
    {"bJmp_isr1", 98, 2},
    {"bJmp_TIMER1_intr", 98, 3},
    {"bJmp_SofErrCheck", 98, 4},
    {"bJmp_ProcCbw", 98, 5},
    {"bJmp_SendCsw", 98, 6},
    {"bJmp_PrivateCmd", 98, 7},
    {"bJmpEcc_correct_data", 99, 0},
    {"bJmpPHY_PbaEraseBlk", 99, 1},
    {"bJmpPHY_PbaRdSectors", 99, 2},
    {"bJmpPHY_PbaWrSectors", 99, 3},
    {"bJmpPHY_PbaReadSpare", 99, 4},
    {"bJmpPHY_PbaRdSectors2Buf", 99, 5},
    {"bJmpPHY_NAND_SelFlash", 99, 6},
    {"RsvByte1Bit7", 99, 7},
    {"bJmpLOG_RdFlash", 100, 0},
    {"bJmpLOG_WrFlash", 100, 1},
    {"bJmpLOG_CpLastSector", 100, 2},
    {"bJmpBZ_GetZoneTbl", 100, 3},
    {"bJmpBZ_GetBlkState", 100, 4},
    {"bJmpBZ_illegal_sel_blk", 100, 5},
    {"RsvByte2Bit6", 100, 6},
    {"RsvByte2Bit7", 100, 7},
}};

int FlashFlagIndex(std::string_view name) {
  for (std::size_t i = 0; i < kFlashFlags.size(); ++i)
    if (name == kFlashFlags[i].name) return int(i);
  return -1;
}

std::string NotAnIntegerText(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid integer value";
}

void RemoveFlashType(ConfigImage& image, int index, int count) {
  if (index < 0 || count <= 0 || index >= count || count > int(ConfigImage::kFlashTypeCount))
    return;
  for (int i = index; i + 1 < count; ++i) {
    const auto from = image.flashType(std::size_t(i + 1));
    std::copy(from.begin(), from.end(), image.flashType(std::size_t(i)).begin());
  }
  const auto last = image.flashType(std::size_t(count - 1));
  std::fill(last.begin(), last.end(), std::uint8_t(0));
}

void FlashTypePage::Fill() {
  names_.clear();
  const std::size_t n = image_.flashTypeCount();
  for (std::size_t i = 0; i < n; ++i) names_.push_back(image_.flashTypeRecord(i).FlashName());
  codeNames_.clear();
  for (std::size_t i = 0; i < image_.codeTypeCount(); ++i)
    codeNames_.push_back(image_.codeTypeRecord(i).CodeName());
  menu_.add = n < ConfigImage::kFlashTypeCount;
  menu_.del = n > 0;
  Select(n > 0 ? int(n) - 1 : -1);
}

void FlashTypePage::Select(int index) {
  selected_ = (index >= 0 && index < int(count())) ? index : -1;
  ShowFlashType();
}

void FlashTypePage::Add() {
  const std::size_t n = count();
  if (n >= ConfigImage::kFlashTypeCount) return;
  const std::string name = kUnnamedFlashType + std::to_string(n);
  const auto rec = image_.flashType(n);
  std::fill(rec.begin(), rec.end(), std::uint8_t(0));
  FlashTypeRecord(rec).setFlashName(name);
  names_.push_back(name);
  selected_ = int(n);
  texts_[std::size_t(FlashField::FlashName)] = name;
  menu_.add = count() < ConfigImage::kFlashTypeCount;
  menu_.del = true;
  ShowFlashType();
}

void FlashTypePage::Delete() {
  const OperatorMessage q{msg::kWarning, msg::kDeleteFlashType, messages_.str(msg::kWarning),
                          messages_.str(msg::kDeleteFlashType)};
  if (!operator_.confirm(q) || selected_ < 0) return;
  RemoveEntry(selected_);
}

void FlashTypePage::RemoveEntry(int s) {
  const int n = int(count());
  if (s < 0 || s >= n) return;
  RemoveFlashType(image_, s, n);
  names_.erase(names_.begin() + s);
  selected_ = s < n - 1 ? s : s - 1;
  menu_.add = true;
  menu_.del = !names_.empty();
  ShowFlashType();
}

void FlashTypePage::Copy() {
  if (selected_ < 0) return;
  clipboard_ = selected_;
  menu_.paste = true;
}

void FlashTypePage::Paste() {
  // The clipboard marks a position; after deletions it can lie beyond the
  // list, where the record is empty: pasting that would end the table at the
  // selected entry and lose every flash type after it.
  if (selected_ < 0 || clipboard_ < 0 || clipboard_ >= int(count())) return;
  const auto from = image_.flashType(std::size_t(clipboard_));
  std::copy(from.begin(), from.end(), image_.flashType(std::size_t(selected_)).begin());
  names_[std::size_t(selected_)] = record().FlashName();
  ShowFlashType();
}

void FlashTypePage::Up() {
  if (selected_ <= 0) return;
  const auto a = image_.flashType(std::size_t(selected_ - 1));
  const auto b = image_.flashType(std::size_t(selected_));
  std::swap_ranges(a.begin(), a.end(), b.begin());
  names_[std::size_t(selected_ - 1)] = ConstFlashTypeRecord(a).FlashName();
  names_[std::size_t(selected_)] = ConstFlashTypeRecord(b).FlashName();
  --selected_;
  ShowFlashType();
}

void FlashTypePage::Down() {
  if (selected_ < 0 || selected_ + 1 >= int(count())) return;
  const auto a = image_.flashType(std::size_t(selected_));
  const auto b = image_.flashType(std::size_t(selected_ + 1));
  std::swap_ranges(a.begin(), a.end(), b.begin());
  names_[std::size_t(selected_)] = ConstFlashTypeRecord(a).FlashName();
  names_[std::size_t(selected_ + 1)] = ConstFlashTypeRecord(b).FlashName();
  ++selected_;
  ShowFlashType();
}

void FlashTypePage::OpenMenu() {
  if (selected_ < 0) {
    menu_ = Menu{};
    return;
  }
  menu_.add = count() < ConfigImage::kFlashTypeCount;
  menu_.del = menu_.copy = menu_.up = menu_.down = true;
  menu_.paste = clipboard_ != -1;
}

void FlashTypePage::PageOpened() {
  codeNames_.clear();
  for (std::size_t i = 0; i < image_.codeTypeCount(); ++i)
    codeNames_.push_back(image_.codeTypeRecord(i).CodeName());
  ShowFlashType();
}

void FlashTypePage::ShowFlashType() {
  if (selected_ < 0) {
    codeTypeItem_ = scanCodeItem_ = -1;
    return;
  }
  FlashTypeRecord r = record();
  for (std::size_t f = 0; f < kFlashFieldCount; ++f) {
    const FieldRule& rule = kRules[f];
    std::string& t = texts_[f];
    switch (rule.kind) {
      case FieldRule::Name:
        t = r.FlashName();
        break;
      case FieldRule::MainId:
        t = Hex(r.MainFlashID(), 8);
        break;
      case FieldRule::ExtId:
      case FieldRule::Hex:
        t = Hex(r.byteAt(rule.offset), 2);
        break;
      case FieldRule::Decimal:
        t = std::to_string(rule.width == 4   ? GetLe32(r.bytes(), rule.offset)
                           : rule.width == 2 ? GetLe16(r.bytes(), rule.offset)
                                             : r.byteAt(rule.offset));
        break;
    }
  }
  // The editor's rule stores 4 for a bLogSectPerPage of 0, also when the
  // record is only shown.
  if (r.LogSectPerPage() == 0) {
    r.setByte(R::kLogSectPerPage, 4);
    texts_[std::size_t(FlashField::LogSectPerPage)] = "4";
  }
  for (std::size_t i = 0; i < kFlashFlags.size(); ++i)
    flags_[i] = r.bit(kFlashFlags[i].offset, kFlashFlags[i].bit);
  codeTypeItem_ = r.CodeType() < codeNames_.size() ? int(r.CodeType()) : -1;
  scanCodeItem_ = r.ScanCode() < codeNames_.size() ? int(r.ScanCode()) : -1;
}

EditResult FlashTypePage::Edit(FlashField field, std::string_view text) {
  if (selected_ < 0 || field == FlashField::Count) return {};
  const FieldRule& rule = kRules[std::size_t(field)];
  FlashTypeRecord r = record();
  EditResult result{EditResult::Stored, {}, {}};
  switch (rule.kind) {
    case FieldRule::Name:
      r.setFlashName(text.empty() ? std::string_view(kUnnamedFlashType) : text);
      names_[std::size_t(selected_)] = std::string(text);
      break;
    case FieldRule::MainId:
      r.setMainFlashID(text.empty() ? 0 : std::uint32_t(ParseHex(text)));
      break;
    case FieldRule::ExtId:
      r.setByte(rule.offset, text.empty() ? 0 : std::uint8_t(ParseHex(text)));
      break;
    case FieldRule::Hex:
      if (text.empty()) return {};
      r.setByte(rule.offset, std::uint8_t(ParseHex("0x0" + std::string(text))));
      break;
    case FieldRule::Decimal: {
      int v = rule.emptyValue;
      if (!text.empty()) {
        const auto parsed = ParseDecimalInt(text);
        if (!parsed) return {EditResult::Rejected, NotAnIntegerText(text), {}};
        v = *parsed;
        if (field == FlashField::LogSectPerPage && v == 0) v = 4;
      }
      if (rule.width == 4)
        r.setBlockPerChip(std::uint32_t(v));
      else if (rule.width == 2)
        r.setPagePerBlock(std::uint16_t(v));
      else
        r.setByte(rule.offset, std::uint8_t(v));
      break;
    }
  }
  texts_[std::size_t(field)] = std::string(text);
  return result;
}

void FlashTypePage::SetFlag(std::size_t i, bool on) {
  if (selected_ < 0 || i >= kFlashFlags.size()) return;
  record().setBit(kFlashFlags[i].offset, kFlashFlags[i].bit, on);
  flags_[i] = on;
}

void FlashTypePage::SetCodeType(int item) {
  if (selected_ < 0 || item < 0 || item >= int(codeNames_.size())) return;
  record().setByte(R::kCodeType, std::uint8_t(item));
  codeTypeItem_ = item;
}

void FlashTypePage::SetScanCode(int item) {
  if (selected_ < 0 || item < 0 || item >= int(codeNames_.size())) return;
  record().setByte(R::kScanCode, std::uint8_t(item));
  scanCodeItem_ = item;
}

}  // namespace kvx
