#include "device/flash_identification.h"

#include <cstdio>

namespace kvx {
namespace {

constexpr std::uint8_t kReadIdCommand = 0x90;
constexpr std::uint8_t kIdReplyLength = 8;
constexpr std::uint8_t kQueryMode = 0;  // interleaved lanes; also the IdVariant matched
constexpr int kChipSelects = 4;

FlashIdReply ReadChipId(CommandContext& ctx, DeviceHandle h, int chip) {
  // The first answer after a chip select change can be stale; ask twice.
  FlashIdReply ids;
  ReadFlashId(ctx, h, std::uint8_t(chip), kReadIdCommand, kIdReplyLength, kQueryMode, 0, 1, ids);
  ReadFlashId(ctx, h, std::uint8_t(chip), kReadIdCommand, kIdReplyLength, kQueryMode, 0, 1, ids);
  return ids;
}

int FindById(const FlashTypeCatalog& catalog, std::uint32_t id) {
  const int n = catalog.count();
  for (int t = 0; t < n; ++t) {
    const FlashTypeIdentity f = catalog.identity(t);
    if (f.idVariant == kQueryMode && f.mainFlashId == id) return t;
  }
  return -1;
}

}  // namespace

int FindComboIndex(const FlashTypeCatalog& list, const std::string& name) {
  const int n = list.count();
  for (int i = 0; i < n; ++i)
    if (list.identity(i).name == name) return i;
  return -1;
}

std::string HexId(std::uint32_t id) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04X", id);
  return buffer;
}

Identification IdentifyDevice(CommandContext& ctx, DeviceHandle handle,
                              const FlashTypeCatalog& catalog, const MessageCatalogue& messages) {
  Identification out;
  int count = 0;
  bool lanesAlike = false;
  bool mixedLanes = false;
  for (int c = 0; c < kChipSelects; ++c) {
    const FlashIdReply ids = ReadChipId(ctx, handle, c);
    const std::uint32_t id0 = ids.id0, id1 = ids.id1;
    if (c == 0 && id0 == 0) break;  // no flash answered
    if (c == 0) {
      out.firstFlashId = id0;
      lanesAlike = id0 == id1;
    }
    if (!lanesAlike && id0 != 0 && id0 == id1 && c == 1) break;
    if (id0 != id1 && lanesAlike) {
      mixedLanes = true;
      break;
    }
    if (id0 != id1 && id1 != 0) break;
    if (id0 != 0) {
      ++count;
      if (count > 1) out.multiChip = 1;
      out.blockCountOverride = 0;
    }
    if (c == 1 && id0 == 0) {
      // The second chip select is empty: the third may still hold a chip.
      const std::uint32_t third = ReadChipId(ctx, handle, 2).id0;
      if (third != 0 && third == out.firstFlashId) {
        ++count;
        out.multiChip = 1;
      } else if (third != 0) {
        const int t = FindById(catalog, third);
        if (t >= 0) {
          out.blockCountOverride = catalog.identity(t).blockPerChip16;
          ++count;
          out.multiChip = 1;
        }
      } else {
        out.multiChip = count > 1 ? 1 : 0;
      }
      break;
    }
    if (id0 != 0 && id0 != out.firstFlashId) {
      // A chip of another type: it counts twice, and its block count wins.
      const int t = FindById(catalog, id0);
      if (t >= 0) {
        out.blockCountOverride = catalog.identity(t).blockPerChip16;
        ++count;
        out.multiChip = 1;
      }
    }
  }

  const std::string pcs = messages.str(msg::kPcs);
  const std::string type = messages.str(msg::kType);
  const int t = (mixedLanes || out.firstFlashId == 0) ? -1 : FindById(catalog, out.firstFlashId);
  if (t < 0) {
    out.chipCount = std::uint8_t(count);
    out.statusText = out.firstFlashId != 0
                         ? pcs + " = " + std::to_string(count) + ", " + type + " = " +
                               messages.str(msg::kUnknownFlash) + ", FlashID = 0x" +
                               HexId(out.firstFlashId)
                         : messages.str(msg::kNoFlash) + " ";
    return out;
  }
  const FlashTypeIdentity f = catalog.identity(t);
  out.matched = true;
  out.chipCount = std::uint8_t(count);
  out.largePage = (lanesAlike || f.sectorPerPage == 8) ? 1 : 0;
  out.flashTypeIndex = t;
  out.selectionIndex = FindComboIndex(catalog, f.name);
  out.statusText = pcs + " = " + std::to_string(count) + "  " + type + " = " + f.name +
                   "  FlashID = 0x" + HexId(out.firstFlashId) +
                   "  Page = " + std::to_string(f.pagePerBlock);
  return out;
}

}  // namespace kvx
