// kvx-mp config / flash-types / code-types: the settings pages without a
// window. Values go through the same form fields and change handlers as the
// pages, so conversions and limits are the pages' own; every change is saved
// the way leaving the pages saves (the form applied to the image, config.dat
// written crash-safely).
#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "app/mp/mp_run.h"
#include "config/code_types.h"
#include "config/flash_types.h"

namespace kvx::mp {
namespace {

namespace fs = std::filesystem;
using I = ConfigImage;
using F = FlashTypeRecord;

int Fail(const RunContext& c, const std::string& reason) {
  std::fprintf(c.err, "kvx-mp: %s\n", reason.c_str());
  return kExitUsage;
}

std::string Lower(std::string s) {
  for (char& ch : s) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

// --- value conversions of the controls ---

std::optional<bool> ParseTick(const std::string& v) {
  const std::string s = Lower(v);
  if (s == "1" || s == "true" || s == "on" || s == "yes") return true;
  if (s == "0" || s == "false" || s == "off" || s == "no") return false;
  return std::nullopt;
}

// An item of a drop-down or radio group: its index or its caption.
std::optional<int> ParseItem(const std::string& v, const std::vector<std::string>& items) {
  for (std::size_t i = 0; i < items.size(); ++i)
    if (Lower(items[i]) == Lower(v)) return int(i);
  const auto n = ParseDecimalInt(v);
  if (n && *n >= 0 && *n < int(items.size())) return *n;
  return std::nullopt;
}

bool IsHexDigits(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char ch) { return std::isxdigit(static_cast<unsigned char>(ch)); });
}

using Getter = std::function<std::string(SettingsPages&)>;
// Returns the reason when the value is refused (nothing is changed then).
using Setter = std::function<std::string(SettingsPages&, const std::string&)>;

struct Setting {
  std::string name;
  Getter get;
  Setter set;  // empty: read only
};

Setting Text(std::string name, std::string SettingsForm::*field, std::size_t maxChars) {
  return {name, [field](SettingsPages& p) { return p.form().*field; },
          [field, maxChars](SettingsPages& p, const std::string& v) -> std::string {
            if (v.size() > maxChars) return "at most " + std::to_string(maxChars) + " characters";
            p.form().*field = v;
            return {};
          }};
}

Setting Tick(std::string name, bool SettingsForm::*field) {
  return {name, [field](SettingsPages& p) { return std::string((p.form().*field) ? "1" : "0"); },
          [field](SettingsPages& p, const std::string& v) -> std::string {
            const auto t = ParseTick(v);
            if (!t) return "expected 0 or 1";
            p.form().*field = *t;
            return {};
          }};
}

Setting Item(std::string name, int SettingsForm::*field, std::vector<std::string> items) {
  return {name, [field](SettingsPages& p) { return std::to_string(p.form().*field); },
          [field, items](SettingsPages& p, const std::string& v) -> std::string {
            const auto i = ParseItem(v, items);
            if (!i) return "expected 0.." + std::to_string(items.size() - 1);
            p.form().*field = *i;
            return {};
          }};
}

// A fixed size editor ("0", empty or a whole number).
Setting Size(std::string name, std::string SettingsForm::*field) {
  return {name, [field](SettingsPages& p) { return p.form().*field; },
          [field](SettingsPages& p, const std::string& v) -> std::string {
            const auto n = ParseDecimalInt(v);
            if (!v.empty() && (!n || *n < 0)) return NotAnIntegerText(v);
            p.form().*field = v;
            return {};
          }};
}

Setting HexCode(std::string name, std::string SettingsForm::*field) {
  return {name, [field](SettingsPages& p) { return p.form().*field; },
          [field](SettingsPages& p, const std::string& v) -> std::string {
            if (v.rfind("0x", 0) != 0 || v.size() > 6 || !IsHexDigits(v.substr(2)))
              return "expected 0x and up to four hexadecimal digits";
            p.form().*field = v;
            return {};
          }};
}

std::string EditError(const EditResult& r) {
  return r.outcome == EditResult::Rejected ? r.error : std::string();
}

std::vector<Setting> Settings(StationRuntime& rt) {
  using S = SettingsForm;
  std::vector<Setting> s;
  s.push_back({"FlashTypeList",
               [](SettingsPages& p) { return std::to_string(p.form().flashTypeSelection); },
               [](SettingsPages& p, const std::string& v) -> std::string {
                 const auto& names = p.flashTypes().names();
                 if (v == "-1") return p.form().flashTypeSelection = -1, std::string();
                 const auto i = ParseItem(v, names);
                 if (!i)
                   return "expected -1.." + std::to_string(int(names.size()) - 1) +
                          " or a flash-type name";
                 p.form().flashTypeSelection = *i;
                 return {};
               }});
  s.push_back({"FlashCount", [](SettingsPages& p) { return std::to_string(p.form().flashCount); },
               [](SettingsPages& p, const std::string& v) -> std::string {
                 const auto n = ParseDecimalInt(v);
                 if (!n || *n < 0 || *n > 255) return "expected 0..255";
                 p.form().flashCount = *n;
                 return {};
               }});
  s.push_back(Tick("AutoSelect", &S::autoSelect));
  s.push_back(Tick("OnlyScan", &S::onlyScan));
  s.push_back({"EccOpen", [](SettingsPages& p) { return std::to_string(p.form().eccOpenIndex); },
               [](SettingsPages& p, const std::string& v) -> std::string {
                 const auto i = ParseItem(v, p.form().eccOpenItems);
                 if (!i)
                   return p.form().eccOpenItems.empty()
                              ? std::string("the language file offers no ECC options")
                              : "expected 0.." + std::to_string(p.form().eccOpenItems.size() - 1);
                 p.EccOpenChanged(*i);
                 return {};
               }});
  s.push_back({"ScanLevel",
               [](SettingsPages& p) { return std::to_string(p.form().scanLevelIndex); },
               [](SettingsPages& p, const std::string& v) -> std::string {
                 const auto i = ParseItem(v, p.form().scanLevelItems);
                 if (!i) return "expected 0.." + std::to_string(p.form().levelCount - 1);
                 p.ScanLevelChanged(*i);
                 return {};
               }});
  s.push_back({"LevelCount", [](SettingsPages& p) { return std::to_string(p.form().levelCount); },
               [](SettingsPages& p, const std::string& v) -> std::string {
                 const auto n = ParseDecimalInt(v);
                 if (!n) return NotAnIntegerText(v);
                 p.LevelCountChanged(*n);  // the spin edit keeps 4..80
                 return {};
               }});
  const char* blocks[6] = {"FromBlock", "ToBlock",    "FromBlock1",
                           "ToBlock1",  "FromBlock2", "ToBlock2"};
  for (int k = 0; k < 6; ++k)
    s.push_back({blocks[k], [k](SettingsPages& p) { return p.form().blockRange[std::size_t(k)]; },
                 [k](SettingsPages& p, const std::string& v) -> std::string {
                   if (v.size() > 5) return "at most 5 characters";
                   p.form().blockRange[std::size_t(k)] = v;
                   return {};
                 }});
  s.push_back({"BlockMode",
               [](SettingsPages& p) { return std::string(p.form().blockMode ? "1" : "0"); },
               [](SettingsPages& p, const std::string& v) -> std::string {
                 const auto t = ParseTick(v);
                 if (!t) return "expected 0 or 1";
                 p.BlockModeChanged(*t);
                 return {};
               }});
  s.push_back(
      {"ScanCount", [](SettingsPages& p) { return p.form().scanCount; },
       [](SettingsPages& p, const std::string& v) { return EditError(p.ScanCountChanged(v)); }});
  s.push_back({"HighChipCheck",
               [](SettingsPages& p) { return std::string(p.form().highChipCheck ? "1" : "0"); },
               [](SettingsPages& p, const std::string& v) -> std::string {
                 const auto t = ParseTick(v);
                 if (!t) return "expected 0 or 1";
                 p.HighChipCheckChanged(*t);
                 return {};
               }});
  s.push_back({"NoVerify",
               [](SettingsPages& p) { return std::string(p.form().noVerify ? "1" : "0"); },
               [](SettingsPages& p, const std::string& v) -> std::string {
                 const auto t = ParseTick(v);
                 if (!t) return "expected 0 or 1";
                 p.NoVerifyChanged(*t);
                 return {};
               }});
  s.push_back({"EccOpenBytes", [](SettingsPages& p) { return p.form().eccOpenBytes; },
               [](SettingsPages& p, const std::string& v) -> std::string {
                 if (v.size() > 2 || !IsHexDigits(v))
                   return "expected up to two hexadecimal digits";
                 p.EccOpenBytesChanged(v);
                 return {};
               }});
  s.push_back(HexCode("VendorCode", &S::vendorCode));
  s.push_back(HexCode("ProductCode", &S::productCode));
  s.push_back(Text("VendorInfo", &S::vendorInfo, 8));
  s.push_back(Text("ProductInfo", &S::productInfo, 16));
  s.push_back(Item("LedStatus", &S::ledStatus, {"OFF", "ON"}));
  s.push_back(Item("WorkLed", &S::workLed, {"2Hz", "4Hz", "6Hz", "8Hz", "10Hz", "12Hz"}));
  s.push_back(Text("SerialNumber", &S::serialNumber, 16));
  s.push_back({"SerialMode", [](SettingsPages& p) { return std::to_string(p.form().serialMode); },
               [](SettingsPages& p, const std::string& v) -> std::string {
                 const auto i = ParseItem(v, {"Auto", "Fix", "Inc"});
                 if (!i) return "expected 0 (Auto), 1 (Fix) or 2 (Inc)";
                 p.SerialModeClicked(*i);
                 return {};
               }});
  // The counter itself: the pages only show it; here setting it starts a new
  // run of serial numbers (stored with the other settings).
  s.push_back({"SerialStartValue", [](SettingsPages& p) { return p.form().serialStartValue; },
               [&rt](SettingsPages& p, const std::string& v) -> std::string {
                 const auto n = ParseDecimalInt(v);
                 if (!n || *n < 0 || *n > kLastSerialNumber)
                   return "expected 0.." + std::to_string(kLastSerialNumber);
                 rt.station().config().SetSerialStartValue(*n);
                 p.form().serialStartValue = std::to_string(*n);
                 return {};
               }});
  for (const char* col : {"FromBin", "MBin", "ToBin"}) {
    const BinColumn column = col[0] == 'F'   ? BinColumn::From
                             : col[0] == 'M' ? BinColumn::Middle
                                             : BinColumn::To;
    for (int row = 0; row < 15; ++row) {
      auto shown = column == BinColumn::From     ? &S::fromBin
                   : column == BinColumn::Middle ? &S::mBin
                                                 : &S::toBin;
      s.push_back({col + std::to_string(row + 1),
                   [shown, row](SettingsPages& p) { return (p.form().*shown)[std::size_t(row)]; },
                   [column, row](SettingsPages& p, const std::string& v) {
                     return EditError(p.BinChanged(column, row, v));
                   }});
    }
  }
  for (int z = 0; z < 3; ++z)
    s.push_back(
        {"Zone" + std::to_string(z) + "Bar",
         [z](SettingsPages& p) { return std::to_string(p.form().zoneBarWidths[std::size_t(z)]); },
         [z](SettingsPages& p, const std::string& v) -> std::string {
           const auto n = ParseDecimalInt(v);
           if (!n || *n < 0 || *n > 65535) return "expected a width of 0..65535 pixels";
           auto w = p.form().zoneBarWidths;
           w[std::size_t(z)] = *n;
           p.ZoneBarsMoved(w[0], w[1], w[2]);
           return {};
         }});
  s.push_back({"ActiveZoneCount",
               [](SettingsPages& p) { return std::to_string(p.form().split.activeZoneCount); },
               {}});
  for (int z = 0; z < 3; ++z) {
    std::vector<std::string> types = {"Removable", "Local", "CDROM"};
    if (z == 2) types.pop_back();
    s.push_back(
        {"DiskType_" + std::to_string(z),
         [z](SettingsPages& p) { return std::to_string(p.form().diskTypeItems[std::size_t(z)]); },
         [z, types](SettingsPages& p, const std::string& v) -> std::string {
           const auto i = ParseItem(v, types);
           if (!i) return "expected 0.." + std::to_string(types.size() - 1);
           p.DiskTypeChanged(z, *i);
           return {};
         }});
    s.push_back({"VolumLabel_" + std::to_string(z),
                 [z](SettingsPages& p) { return p.form().volumeLabels[std::size_t(z)]; },
                 [z](SettingsPages& p, const std::string& v) -> std::string {
                   if (v.size() > 11) return "at most 11 characters";
                   p.form().volumeLabels[std::size_t(z)] = v;
                   return {};
                 }});
  }
  s.push_back(
      Item("BootType", &S::bootType, {"NOBOOT", "USB_ZIP32", "USB_ZIP63", "USB_HDD", "USB_CDROM"}));
  s.push_back(Size("Zone0FixSize", &S::zone0FixSize));
  s.push_back(Size("Zone1FixSize", &S::zone1FixSize));
  s.push_back(Size("pZoneFixSize", &S::pZoneFixSize));
  s.push_back(Text("pZonePassword", &S::pZonePassword, 16));
  s.push_back(Tick("Zone0ReadProtect", &S::zone0ReadProtect));
  s.push_back(Tick("Zone0WriteProtect", &S::zone0WriteProtect));
  s.push_back(Tick("Zone1WriteProtect", &S::zone1WriteProtect));
  s.push_back(Tick("Zone1Hide", &S::zone1Hide));
  s.push_back(Tick("Zone2WriteProtect", &S::zone2WriteProtect));
  s.push_back(Tick("Zone2Hide", &S::zone2Hide));
  s.push_back(Text("IsoFile", &S::isoFile, 259));
  s.push_back(Text("Zone0FilePath", &S::zone0FilePath, 259));
  s.push_back(Text("Zone1FilePath", &S::zone1FilePath, 259));
  return s;
}

const Setting* Find(const std::vector<Setting>& all, const std::string& name) {
  for (const auto& s : all)
    if (Lower(s.name) == Lower(name)) return &s;
  return nullptr;
}

int Save(StationRuntime& rt, const RunContext& c) {
  std::string error;
  if (!rt.saveSettings(error)) return Fail(c, "settings not saved: " + error);
  return kExitOk;
}

// --- flash types as JSON ---

std::string Hex(std::span<const std::uint8_t> bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) out += digits[b >> 4], out += digits[b & 15];
  return out;
}

nlohmann::json FlashTypeJson(const ConstFlashTypeRecord& r) {
  char id[16];
  std::snprintf(id, sizeof id, "0x%08X", r.MainFlashID());
  return {{"name", r.FlashName()},
          {"mainFlashId", id},
          {"blockPerChip", r.BlockPerChip()},
          {"pagePerBlock", r.PagePerBlock()},
          {"sectorPerPage", r.SectorPerPage()},
          {"codeType", r.CodeType()},
          {"scanCode", r.ScanCode()},
          {"doubleDie", r.DoubleDie()},
          {"record", Hex(r.bytes())}};
}

std::uint32_t JsonNumber(const nlohmann::json& v, const std::string& what) {
  if (v.is_number_unsigned()) return v.get<std::uint32_t>();
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    if (s.rfind("0x", 0) == 0 && s.size() > 2 && s.size() <= 10 && IsHexDigits(s.substr(2)))
      return std::uint32_t(std::stoul(s.substr(2), nullptr, 16));
  }
  throw std::runtime_error(what + ": expected a number or \"0x..\"");
}

// Writes one JSON flash type into `r`: the whole record from "record" when
// given, then the named fields over it.
void ReadFlashType(const nlohmann::json& j, FlashTypeRecord r, const std::string& where) {
  if (!j.is_object()) throw std::runtime_error(where + ": expected an object");
  if (auto it = j.find("record"); it != j.end()) {
    const std::string hex = it->is_string() ? it->get<std::string>() : "";
    if (hex.size() != 2 * F::kSize || !IsHexDigits(hex))
      throw std::runtime_error(where + ".record: expected " + std::to_string(2 * F::kSize) +
                               " hexadecimal digits");
    for (std::size_t i = 0; i < F::kSize; ++i)
      r.setByte(i, std::uint8_t(std::stoul(hex.substr(2 * i, 2), nullptr, 16)));
  }
  if (auto it = j.find("name"); it != j.end()) {
    if (!it->is_string() || it->get<std::string>().empty() ||
        it->get<std::string>().size() > F::kNameMax)
      throw std::runtime_error(where + ".name: expected 1.." + std::to_string(F::kNameMax) +
                               " characters");
    r.setFlashName(it->get<std::string>());
  }
  auto number = [&](const char* key, std::uint32_t max, auto apply) {
    if (auto it = j.find(key); it != j.end()) {
      const std::uint32_t v = JsonNumber(*it, where + "." + key);
      if (v > max) throw std::runtime_error(where + "." + key + ": at most " + std::to_string(max));
      apply(v);
    }
  };
  number("mainFlashId", 0xFFFFFFFFu, [&](std::uint32_t v) { r.setMainFlashID(v); });
  number("blockPerChip", 0xFFFFFFFFu, [&](std::uint32_t v) { r.setBlockPerChip(v); });
  number("pagePerBlock", 0xFFFFu, [&](std::uint32_t v) { r.setPagePerBlock(std::uint16_t(v)); });
  number("sectorPerPage", 8,
         [&](std::uint32_t v) { r.setByte(F::kSectorPerPage, std::uint8_t(v)); });
  number("codeType", 255, [&](std::uint32_t v) { r.setByte(F::kCodeType, std::uint8_t(v)); });
  number("scanCode", 255, [&](std::uint32_t v) { r.setByte(F::kScanCode, std::uint8_t(v)); });
  if (auto it = j.find("doubleDie"); it != j.end()) {
    if (!it->is_boolean()) throw std::runtime_error(where + ".doubleDie: expected true or false");
    r.setBit(F::kFlagsB, 0, it->get<bool>());
  }
  if (r.FlashName().empty()) throw std::runtime_error(where + ": a flash type needs a name");
}

}  // namespace

int ConfigCommand(StationRuntime& rt, const MpOptions& o, const RunContext& c) {
  const std::vector<Setting> all = Settings(rt);
  if (o.command == Command::ConfigShow) {
    auto lock = rt.settingsLock();
    for (const auto& s : all)
      std::fprintf(c.out, "%s=%s\n", s.name.c_str(), s.get(rt.settings()).c_str());
    return kExitOk;
  }
  const Setting* s = Find(all, o.key);
  if (!s) return Fail(c, "unknown setting " + o.key + " (see 'kvx-mp config show')");
  if (o.command == Command::ConfigGet) {
    auto lock = rt.settingsLock();
    std::fprintf(c.out, "%s\n", s->get(rt.settings()).c_str());
    return kExitOk;
  }
  if (!s->set) return Fail(c, s->name + " is computed from other settings and cannot be set");
  {
    auto lock = rt.settingsLock();
    const std::string error = s->set(rt.settings(), o.value);
    if (!error.empty()) return Fail(c, s->name + ": " + error);
  }
  return Save(rt, c);
}

int FlashTypesCommand(StationRuntime& rt, const MpOptions& o, const RunContext& c) {
  if (o.command == Command::FlashTypesList || o.command == Command::FlashTypesExport) {
    const ConfigImage image = rt.imageSnapshot();
    nlohmann::json array = nlohmann::json::array();
    for (std::size_t i = 0; i < image.flashTypeCount(); ++i) {
      const ConstFlashTypeRecord r = image.flashTypeRecord(i);
      if (o.command == Command::FlashTypesList)
        std::fprintf(
            c.out, "%3zu  %-30s  0x%08X  %u blocks x %u pages x %u sectors  code %u  scan %u\n", i,
            r.FlashName().c_str(), r.MainFlashID(), r.BlockPerChip(), unsigned(r.PagePerBlock()),
            unsigned(r.SectorPerPage()), unsigned(r.CodeType()), unsigned(r.ScanCode()));
      else
        array.push_back(FlashTypeJson(r));
    }
    if (o.command == Command::FlashTypesList) return kExitOk;
    const std::string text =
        array.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const FileResult w = WriteFileAtomically(
        o.file, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                              text.size()));
    if (!w) return Fail(c, o.file + ": " + w.describe());
    return kExitOk;
  }
  // Import: the whole table is replaced, or nothing changes.
  const auto text = ReadTextFile(o.file);
  if (!text) return Fail(c, o.file + " cannot be read");
  std::vector<std::array<std::uint8_t, F::kSize>> records;
  try {
    const nlohmann::json j = nlohmann::json::parse(*text);
    if (!j.is_array()) throw std::runtime_error("expected a JSON array of flash types");
    if (j.size() > I::kFlashTypeCount) throw std::runtime_error("at most 288 flash types");
    for (std::size_t i = 0; i < j.size(); ++i) {
      records.emplace_back();
      records.back().fill(0);
      ReadFlashType(j[i], FlashTypeRecord(std::span<std::uint8_t, F::kSize>(records.back())),
                    "[" + std::to_string(i) + "]");
    }
  } catch (const std::exception& e) {
    return Fail(c, o.file + ": " + e.what());
  }
  {
    auto lock = rt.settingsLock();
    ConfigImage& image = rt.station().config();
    for (std::size_t i = 0; i < I::kFlashTypeCount; ++i) {
      const auto dst = image.flashType(i);
      if (i < records.size())
        std::copy(records[i].begin(), records[i].end(), dst.begin());
      else
        std::fill(dst.begin(), dst.end(), std::uint8_t(0));
    }
    SettingsPages& pages = rt.settings();
    pages.flashTypes().Fill();
    if (pages.form().flashTypeSelection >= int(records.size()))
      pages.form().flashTypeSelection = -1;
    pages.form().flashTypeList = pages.flashTypes().names();
  }
  std::fprintf(c.out, "%zu flash types imported\n", records.size());
  return Save(rt, c);
}

int CodeTypesCommand(StationRuntime& rt, const MpOptions& o, const RunContext& c) {
  if (o.command == Command::CodeTypesList) {
    const ConfigImage image = rt.imageSnapshot();
    for (std::size_t i = 0; i < image.codeTypeCount(); ++i) {
      const ConstCodeTypeRecord r = image.codeTypeRecord(i);
      std::fprintf(c.out, "%zu  %-30s  real %u  length %u  copies %u  (%zu bytes)\n", i,
                   r.CodeName().c_str(), unsigned(r.RealCodeLength()), unsigned(r.CodeLength()),
                   unsigned(r.CodeCount()), r.UsedImageBytes());
    }
    return kExitOk;
  }
  {
    auto lock = rt.settingsLock();
    CodeTypePage& page = rt.settings().codeTypes();
    const int count = int(page.names().size());
    if (o.index > count || o.index >= int(I::kCodeTypeCount))
      return Fail(c, "code type " + std::to_string(o.index) + " does not exist (0.." +
                         std::to_string(count) + ", where " + std::to_string(count) + " adds one)");
    if (o.index == count)
      page.Add();
    else
      page.Select(o.index);
    if (!page.Load(o.file)) return Fail(c, o.file + " cannot be read");
    std::fprintf(c.out, "code type %d: %s\n", o.index, page.names()[std::size_t(o.index)].c_str());
  }
  return Save(rt, c);
}

}  // namespace kvx::mp
