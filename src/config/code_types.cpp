#include "config/code_types.h"

#include <algorithm>
#include <fstream>
#include <utility>

#include "config/ini_file.h"

namespace kvx {

using C = CodeTypeRecord;

void CodeChecksum(std::span<std::uint8_t> copy, unsigned realSectors) {
  std::size_t m = std::size_t(realSectors) * 128;
  m = std::min(m, copy.size() / 4);
  if (m == 0) return;
  std::uint32_t x = 0;
  for (std::size_t i = 0; i + 1 < m; ++i) x ^= GetLe32(copy, 4 * i);
  PutLe32(copy, 4 * (m - 1), m == 1 ? GetLe32(copy, 0) : x);
}

std::string CodeNameFromFile(const std::filesystem::path& file) {
  // The part before the first "."; a name without "." has no such part.
  const std::string base = file.filename().string();
  const std::size_t dot = base.find('.');
  const std::string name = dot == std::string::npos ? std::string() : base.substr(0, dot);
  return name.empty() ? kUnnamedCodeType : name;
}

void CodeTypePage::Fill() {
  names_.clear();
  for (std::size_t i = 0; i < image_.codeTypeCount(); ++i)
    names_.push_back(image_.codeTypeRecord(i).CodeName());
  Select(names_.empty() ? -1 : 0);
}

void CodeTypePage::updateButtons() {
  addEnabled_ = count() < ConfigImage::kCodeTypeCount;
  deleteEnabled_ = loadEnabled_ = selected_ >= 0;
}

void CodeTypePage::Select(int index) {
  selected_ = (index >= 0 && index < int(count())) ? index : -1;
  nameText_ = selected_ >= 0 ? names_[std::size_t(selected_)] : std::string();
  updateButtons();
  ShowCodeType();
}

void CodeTypePage::ShowCodeType() {
  if (selected_ < 0) return;
  const CodeTypeRecord r = record();
  numberTexts_[std::size_t(CodeNumber::RealCodeLength)] = std::to_string(r.RealCodeLength());
  numberTexts_[std::size_t(CodeNumber::CodeLength)] = std::to_string(r.CodeLength());
  numberTexts_[std::size_t(CodeNumber::CodeCount)] = std::to_string(r.CodeCount());
}

std::span<const std::uint8_t> CodeTypePage::view() const {
  if (selected_ < 0) return {};
  const ConstCodeTypeRecord r = std::as_const(image_).codeTypeRecord(std::size_t(selected_));
  return std::span<const std::uint8_t>(r.CodeImage()).first(r.UsedImageBytes());
}

void CodeTypePage::Add() {
  const std::size_t n = count();
  if (n >= ConfigImage::kCodeTypeCount) return;
  const std::string name = kUnnamedCodeType + std::to_string(n);
  const auto bytes = image_.codeType(n);
  std::fill(bytes.begin(), bytes.end(), std::uint8_t(0));
  CodeTypeRecord r(bytes);
  r.setCodeName(name);
  r.setByte(C::kRealCodeLength, 8);
  r.setByte(C::kCodeLength, 8);
  r.setByte(C::kCodeCount, 1);
  names_.push_back(name);
  Select(int(n));
}

void CodeTypePage::Delete() {
  const OperatorMessage q{msg::kWarning, msg::kDeleteCodeType, messages_.str(msg::kWarning),
                          messages_.str(msg::kDeleteCodeType)};
  if (!operator_.confirm(q) || selected_ < 0) return;
  const int s = selected_;
  const int n = int(count());
  for (int i = s; i + 1 < n; ++i) {
    const auto from = image_.codeType(std::size_t(i + 1));
    std::copy(from.begin(), from.end(), image_.codeType(std::size_t(i)).begin());
  }
  const auto last = image_.codeType(std::size_t(n - 1));
  std::fill(last.begin(), last.end(), std::uint8_t(0));

  // The first flash type built on this code goes with it.
  const std::size_t flashCount = image_.flashTypeCount();
  for (std::size_t i = 0; i < flashCount; ++i) {
    if (image_.flashTypeRecord(i).CodeType() == s) {
      flashTypes_.RemoveEntry(int(i));
      break;
    }
  }
  // The remaining flash types keep naming the same firmware: references to
  // the following code types move down by one, and a reference to the
  // deleted one becomes "none" (0xFF) instead of silently naming its
  // successor; a job on such a flash type fails its code download.
  for (std::size_t i = 0; i < image_.flashTypeCount(); ++i) {
    FlashTypeRecord r = image_.flashTypeRecord(i);
    for (std::size_t off :
         {std::size_t(FlashTypeRecord::kCodeType), std::size_t(FlashTypeRecord::kScanCode)}) {
      const int c = r.byteAt(off);
      if (c == s)
        r.setByte(off, 0xFF);
      else if (c > s && c < n)
        r.setByte(off, std::uint8_t(c - 1));
    }
  }

  names_.erase(names_.begin() + s);
  Select(s < n - 1 ? s : s - 1);
  flashTypes_.PageOpened();
}

bool CodeTypePage::Load(const std::filesystem::path& file) {
  if (selected_ < 0) return false;
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec)) return false;
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  CodeTypeRecord r = record();
  const std::size_t want = r.UsedImageBytes();
  const auto image = r.CodeImage();
  in.read(reinterpret_cast<char*>(image.data()), std::streamsize(want));
  const std::size_t copyBytes = std::size_t(r.CodeLength()) * C::kSectorSize;
  for (std::size_t k = 0; k < r.CodeCount(); ++k) {
    const std::size_t off = k * copyBytes;
    if (off >= image.size() || (k > 0 && copyBytes == 0)) break;
    CodeChecksum(image.subspan(off), r.RealCodeLength());
  }
  const std::string name = CodeNameFromFile(file);
  r.setCodeName(name);
  names_[std::size_t(selected_)] = name;
  nameText_ = name;
  return true;
}

void CodeTypePage::EditName(std::string_view text) {
  if (selected_ < 0) return;
  names_[std::size_t(selected_)] = std::string(text);
  nameText_ = std::string(text);
  record().setCodeName(text);
}

void CodeTypePage::NameEditorLeft() {
  if (selected_ >= 0 && nameText_.empty()) EditName(kUnnamedCodeType);
}

EditResult CodeTypePage::EditNumber(CodeNumber which, std::string_view text) {
  if (selected_ < 0) return {};
  if (which == CodeNumber::RealCodeLength && text.empty()) return {};
  const auto v = ParseDecimalInt(text);
  if (!v || *v < 0) return {EditResult::Rejected, NotAnIntegerText(text), {}};
  static constexpr std::size_t off[3] = {C::kRealCodeLength, C::kCodeLength, C::kCodeCount};
  EditResult result{EditResult::Stored, {}, {}};
  int value = *v;
  if (value > C::kMaxSectors) {
    value = C::kMaxSectors;
    result.replacementText = "8";
  }
  record().setByte(off[std::size_t(which)], std::uint8_t(value));
  numberTexts_[std::size_t(which)] =
      result.replacementText.empty() ? std::string(text) : result.replacementText;
  return result;
}

}  // namespace kvx
