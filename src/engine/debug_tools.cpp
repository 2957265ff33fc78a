#include "engine/debug_tools.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <utility>

#include "device/commands.h"
#include "engine/station.h"

namespace kvx {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::optional<std::uint32_t> ParseHexNumber(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::uint32_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::string Hex(std::uint32_t v, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", width, v);
  return buf;
}

std::string Quoted(std::string_view s) {
  return "\"" + std::string(s) + "\"";
}

std::string ResultText(ScsiResult r) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d (0x%08X)", r, static_cast<std::uint32_t>(r));
  return buf;
}

}  // namespace

std::optional<std::uint32_t> ParseDecimalField(std::string_view text) {
  text = Trim(text);
  if (text.empty()) return std::nullopt;
  std::uint32_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, 10);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

std::string FormatHexDump(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 3 + bytes.size() / 16 * 7);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i % 16 == 0) {
      if (i) out += '\n';
      out += Hex(std::uint32_t(i), 4) + ":";
    }
    out += ' ';
    out += Hex(bytes[i], 2);
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> ParseHexDump(std::string_view text, std::size_t size,
                                                      std::string& error) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(size);
  std::size_t lineNo = 0;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    ++lineNo;
    const std::string where = "Line " + std::to_string(lineNo) + ": ";
    line = Trim(line);
    if (const std::size_t colon = line.find(':'); colon != std::string_view::npos) {
      const std::string_view offsetText = Trim(line.substr(0, colon));
      const auto offset = ParseHexNumber(offsetText);
      if (!offset) {
        error = where + Quoted(offsetText) + " is not a hexadecimal offset.";
        return std::nullopt;
      }
      if (*offset != bytes.size()) {
        error = where + "it says offset " + Hex(*offset, 4) + " but follows byte " +
                Hex(std::uint32_t(bytes.size()), 4) + ": a byte was added or removed above it.";
        return std::nullopt;
      }
      line = line.substr(colon + 1);
    }
    while (true) {
      line = Trim(line);
      if (line.empty()) break;
      std::size_t n = 0;
      while (n < line.size() && !std::isspace(static_cast<unsigned char>(line[n]))) ++n;
      const std::string_view token = line.substr(0, n);
      line.remove_prefix(n);
      const auto value = token.size() <= 2 ? ParseHexNumber(token) : std::nullopt;
      if (!value) {
        error = where + Quoted(token) + " is not a hexadecimal byte (00 to FF).";
        return std::nullopt;
      }
      bytes.push_back(std::uint8_t(*value));
    }
  }
  if (bytes.size() != size) {
    error = "The view holds " + std::to_string(bytes.size()) + " bytes; a page takes " +
            std::to_string(size) + ".";
    return std::nullopt;
  }
  return bytes;
}

std::string DebugTools::portName() const {
  return "Port " + std::to_string(port_ + 1);
}

std::optional<DebugGeometry> DebugTools::geometryLocked(std::string& why) {
  const FORMATINFO& rec = station_.record(port_);
  if (station_.busy(port_)) {
    why = portName() + " is busy with a job: stop it or wait until it ends.";
    return std::nullopt;
  }
  if (rec.Present.load() == 0 || rec.DevicePath.empty()) {
    why = "No disk in " + portName() + ".";
    return std::nullopt;
  }
  if (rec.FlashTypeIndex < 0 || rec.FlashTypeIndex >= int(ConfigImage::kFlashTypeCount) ||
      rec.ChipCount == 0) {
    why = "The disk in " + portName() + " is not identified: no flash type matches it.";
    return std::nullopt;
  }
  const ConstFlashTypeRecord ft =
      std::as_const(station_.config()).flashTypeRecord(std::size_t(rec.FlashTypeIndex));
  DebugGeometry g{rec.ChipCount, ft.BlockPerChip(), ft.PagePerBlock(), ft.SectorPerPage()};
  // Every sector of a chip must have a 32-bit address (the command's field).
  const std::uint64_t sectorsPerChip =
      std::uint64_t(g.blocksPerChip) * g.pagesPerBlock * g.sectorsPerPage;
  if (g.blocksPerChip == 0 || g.pagesPerBlock == 0 || g.sectorsPerPage == 0 ||
      g.sectorsPerPage > kMaxSectorsPerPage || sectorsPerChip > 0x100000000ull) {
    why = "The flash type of " + portName() + " has no usable geometry (" +
          std::to_string(g.blocksPerChip) + " blocks per chip, " + std::to_string(g.pagesPerBlock) +
          " pages per block, " + std::to_string(g.sectorsPerPage) + " sectors per page).";
    return std::nullopt;
  }
  return g;
}

std::optional<DebugTools::Target> DebugTools::prepare(std::string_view chipText,
                                                      std::string_view blockText,
                                                      std::string& why) {
  auto geo = geometryLocked(why);
  if (!geo) return std::nullopt;
  const auto chip = ParseDecimalField(chipText);
  if (!chip) {
    why = "Chip " + Quoted(chipText) + " is not a decimal number.";
    return std::nullopt;
  }
  const auto block = ParseDecimalField(blockText);
  if (!block) {
    why = "Block " + Quoted(blockText) + " is not a decimal number.";
    return std::nullopt;
  }
  if (*chip >= geo->chips) {
    why = "Chip " + std::to_string(*chip) + " does not exist: the disk has " +
          std::to_string(geo->chips) + " chip(s), 0 to " + std::to_string(geo->chips - 1) + ".";
    return std::nullopt;
  }
  if (*block >= geo->blocksPerChip) {
    why = "Block " + std::to_string(*block) + " does not exist: a chip has " +
          std::to_string(geo->blocksPerChip) + " blocks, 0 to " +
          std::to_string(geo->blocksPerChip - 1) + ".";
    return std::nullopt;
  }
  FORMATINFO& rec = station_.record(port_);
  if (!IsOpen(rec.hDevice)) {
    // The handle stays with the port, as one opened by a refresh would.
    rec.hDevice = station_.devices().open(rec.DevicePath);
    if (!IsOpen(rec.hDevice)) {
      rec.hDevice = kInvalidHandle;
      why = "The disk in " + portName() + " (" + rec.DevicePath + ") could not be opened.";
      return std::nullopt;
    }
  }
  return Target{rec.hDevice, *geo, std::uint8_t(*chip), *block};
}

DebugResult DebugTools::ReadPage(std::string_view chipText, std::string_view blockText,
                                 std::vector<std::uint8_t>& page) {
  std::unique_lock lock(station_.controlMutex(), std::try_to_lock);
  if (!lock.owns_lock()) return {false, "The ports are being refreshed; try again in a moment."};
  std::string why;
  const auto t = prepare(chipText, blockText, why);
  if (!t) return {false, why};
  std::vector<std::uint8_t> buffer(t->geo.rawPageBytes(), 0);
  const std::string what = "chip " + std::to_string(t->chip) + " block " +
                           std::to_string(t->block) + " (sector address " +
                           std::to_string(t->sectorAddress()) + ")";
  const ScsiResult r =
      ReadPagesWithSpare(station_.commands(port_), t->handle, t->chip, t->sectorAddress(), 1,
                         t->geo.sectorsPerPage, buffer, kDebugCommandTimeoutS);
  if (r != 0) return {false, "Reading " + what + " failed: result " + ResultText(r) + "."};
  page = std::move(buffer);
  return {true, "Read " + what + ": " + std::to_string(page.size()) + " bytes."};
}

DebugResult DebugTools::WritePage(std::string_view chipText, std::string_view blockText,
                                  std::string_view hexDump) {
  std::unique_lock lock(station_.controlMutex(), std::try_to_lock);
  if (!lock.owns_lock()) return {false, "The ports are being refreshed; try again in a moment."};
  std::string why;
  const auto t = prepare(chipText, blockText, why);
  if (!t) return {false, why};
  const auto bytes = ParseHexDump(hexDump, t->geo.rawPageBytes(), why);
  if (!bytes) return {false, "Nothing written. " + why};
  const std::string what = "chip " + std::to_string(t->chip) + " block " +
                           std::to_string(t->block) + " (sector address " +
                           std::to_string(t->sectorAddress()) + ")";
  const ScsiResult r =
      WritePagesWithSpare(station_.commands(port_), t->handle, t->chip, t->sectorAddress(), 1,
                          t->geo.sectorsPerPage, *bytes, kDebugCommandTimeoutS);
  if (r != 0) return {false, "Writing " + what + " failed: result " + ResultText(r) + "."};
  return {true, "Wrote " + std::to_string(bytes->size()) + " bytes to " + what + "."};
}

DebugResult DebugTools::EraseBlock(std::string_view chipText, std::string_view blockText) {
  std::unique_lock lock(station_.controlMutex(), std::try_to_lock);
  if (!lock.owns_lock()) return {false, "The ports are being refreshed; try again in a moment."};
  std::string why;
  const auto t = prepare(chipText, blockText, why);
  if (!t) return {false, why};
  const std::string what = "chip " + std::to_string(t->chip) + " block " + std::to_string(t->block);
  const ScsiResult r = EraseBlocks(station_.commands(port_), t->handle, t->chip, t->block, 1);
  if (r != 0) return {false, "Erasing " + what + " failed: result " + ResultText(r) + "."};
  return {true, "Erased " + what + "."};
}

}  // namespace kvx
