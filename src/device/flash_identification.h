#pragma once
// Which flash sits behind a disk's controller, and how many chips answer.
// Reads the flash ID of chip 0 and of the further chip selects (each asked
// twice, the second answer counts), counts the chips, and looks the ID of
// chip 0 up in the flash-type table.

#include <cstdint>
#include <string>

#include "device/commands.h"
#include "engine/messages.h"

namespace kvx {

// What identification needs of one flash type.
struct FlashTypeIdentity {
  std::uint32_t mainFlashId = 0;
  std::uint8_t idVariant = 0;  // only records with 0 are matched
  std::uint16_t blockPerChip16 = 0;
  std::uint16_t pagePerBlock = 0;
  std::uint8_t sectorPerPage = 0;
  bool doubleDie = false;
  std::string name;
};

// The flash-type list as identification and discovery see it.
class FlashTypeCatalog {
 public:
  virtual ~FlashTypeCatalog() = default;
  virtual int count() const = 0;  // entries in use, at most 288
  virtual FlashTypeIdentity identity(int index) const = 0;
};

struct Identification {
  bool matched = false;
  int flashTypeIndex = -1;   // the matched record
  int selectionIndex = -1;   // the first list entry with the matched record's name
  std::uint8_t chipCount = 0;
  std::uint8_t largePage = 0;
  std::uint8_t multiChip = 0;
  std::uint16_t blockCountOverride = 0;
  std::uint32_t firstFlashId = 0;
  std::string statusText;  // blue when matched, red otherwise
};

// The first index in the list whose name equals `name`, -1 when none.
int FindComboIndex(const FlashTypeCatalog& list, const std::string& name);

// "%04X": upper-case hexadecimal, at least four digits.
std::string HexId(std::uint32_t id);

Identification IdentifyDevice(CommandContext& ctx, DeviceHandle handle,
                              const FlashTypeCatalog& catalog, const MessageCatalogue& messages);

}  // namespace kvx
