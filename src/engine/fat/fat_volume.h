#pragma once
// TFAT: the start of one zone of a produced disk as a FAT volume. It is the
// metadata only: a master boot record with one partition at sector 32, the
// boot area of a FAT12, FAT16 or FAT32 volume (with FSInfo and backup sectors
// for FAT32), both FATs and an empty root directory with the volume label.
// The data area is not part of it.
//
// It is not a file and does no I/O: after Build() the sectors are produced on
// demand by ReadSectors(), so a 4194304-sector zone costs a few MiB of
// metadata streamed in chunks, never a zone-sized buffer. Sector n of the image
// belongs at sector n of the zone; the writer puts sectors 0 .. imageSectors()-1
// at the zone's first sector and leaves the rest of the zone as it is.
//
// The result is a pure function of the settings: no clock is read (the label
// entry's time fields are zero) and the volume serial number is a setting.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fat/boot_code.h"

namespace kvx::fat {

// Partition type byte in the MBR, one per FAT kind.
enum class FatKind : std::uint8_t { Fat12 = 0x01, Fat16 = 0x06, Fat32 = 0x0B };

// Boot type of a zone: settings header byte 128 for zone 0, kNoBoot for others.
inline constexpr std::uint8_t kNoBoot = 0;
inline constexpr std::uint8_t kUsbZip32 = 1;  // media byte 0xF0
inline constexpr std::uint8_t kUsbZip63 = 2;  // 63 sectors per track in the MBR
inline constexpr std::uint8_t kUsbHdd = 3;    // 32 reserved, 63 hidden sectors
inline constexpr std::uint8_t kUsbCdrom = 4;

// Zone sector of the boot sector; sectors 1..31 before it stay zero.
inline constexpr std::uint32_t kPartitionStart = 32;

// Kind chosen from the zone's sectors (MBR area included).
inline constexpr std::uint32_t kFat16FromSectors = 8400;
inline constexpr std::uint32_t kFat32FromSectors = 4194304;

// Cluster count limits that decide the FAT type on every reader (the type is
// never taken from the type string): FAT12 up to 4084 clusters, FAT16 from
// 4085 to 65524, FAT32 from 65525 up to 0x0FFFFFF5 (entries 0x0FFFFFF7 and up
// are the bad-cluster and end-of-chain marks).
inline constexpr std::uint32_t kMaxFat12Clusters = 4084;
inline constexpr std::uint32_t kMaxFat16Clusters = 65524;
inline constexpr std::uint32_t kMaxFat32Clusters = 0x0FFFFFF5;

struct FatVolumeSettings {
  std::uint32_t sectors = 0;        // the zone's sectors, MBR area included
  std::uint8_t bootType = kNoBoot;  // see the constants above
  // Volume label, up to 11 bytes in the system code page; empty: no label.
  std::string label;
  // Volume serial number for the boot sector. Unset: the template's built-in
  // number (0x001B9622 for FAT12/16, 0x265C1ED4 for FAT32), the same on every
  // disk of a production.
  std::optional<std::uint32_t> volumeId;
};

enum class FatError : std::uint8_t {
  kNone = 0,
  // The zone cannot hold the MBR area, the boot area, the FATs, the root
  // directory and at least one data cluster.
  kVolumeTooSmall,
  // No cluster size gives a cluster count inside the limits of the kind.
  kNoValidClusterSize,
};

const char* FatErrorText(FatError e);

// Where everything lies, as computed by the second build pass.
struct FatLayout {
  FatKind kind = FatKind::Fat12;
  std::uint32_t partitionSectors = 0;  // V: zone sectors - 33; the MBR's sector count
  // Total sectors in the boot sector: V, or fewer when a FAT16 volume would
  // pass 65524 clusters (the tail of the partition is then left unused).
  std::uint32_t volumeSectors = 0;
  std::uint8_t sectorsPerCluster = 0;
  std::uint16_t reservedSectors = 0;
  std::uint8_t fatCount = 0;
  std::uint32_t fatSectors = 0;       // sectors per FAT
  std::uint16_t rootEntries = 0;      // 0 for FAT32 (the root is cluster 2)
  std::uint32_t rootSectors = 0;      // root-directory sectors in the image
  std::uint32_t firstRootSector = 0;  // counted from the boot sector
  std::uint32_t clusterCount = 0;     // data clusters of the volume
  std::uint8_t media = 0xF8;
  std::uint16_t sectorsPerTrack = 0;
  std::uint16_t heads = 0;
  std::uint32_t hiddenSectors = 0;
  std::uint8_t mbrSectorsPerTrack = 0;  // T of the partition entry's end CHS
  std::uint32_t firstPassSectors = 0;   // sectors the first pass produced
  std::uint32_t imageSectors = 0;       // zone sectors 0 .. imageSectors-1 are the image
};

// Reserved-sector count of the second pass after a first pass of `written`
// sectors with one reserved sector: (8 - written mod 8) mod 8 + 1, so that the
// metadata ends on a multiple of 8 sectors (the first cluster then starts on a
// 4 KiB boundary of the zone) when the FAT size does not change.
std::uint8_t AlignedReservedSectors(std::uint32_t written);

// The volume label as stored (11 bytes, blank-padded), or nothing for an
// empty or all-blank label. Lower-case ASCII letters become upper case and
// characters that a label may not hold (below 0x20, 0x7F and " * + , . / : ;
// < = > ? [ \ ] |) become '_'; bytes from 0x81 up lead a double-byte
// character whose second byte is kept as it is (a pair is never split at the
// 11-byte limit; such bytes are legal in a label, which is stored in the OEM
// code page). Leading blanks are dropped. The text ends at a NUL, so the raw
// settings field may be passed. A leading 0xE5 is stored as 0x05 (0xE5 marks
// a free entry).
std::optional<std::array<std::uint8_t, 11>> StoredLabel(std::string_view label);

class TFAT {
 public:
  explicit TFAT(FatVolumeSettings settings);

  // Runs both passes. kNone: layout() and the sectors are valid.
  FatError Build();

  const FatLayout& layout() const { return layout_; }
  // Metadata sectors of the image, MBR area included; 0 before a good Build().
  std::uint32_t imageSectors() const { return built_ ? layout_.imageSectors : 0; }

  // Fills `out` (any length) with the image from zone sector `first` on;
  // bytes past the image are zero. Nothing is written before a good Build().
  void ReadSectors(std::uint32_t first, std::span<std::uint8_t> out) const;
  // The whole image in one buffer; meant for small volumes and tests.
  std::vector<std::uint8_t> Image() const;

 private:
  Sector SectorAt(std::uint32_t n) const;
  Sector BootSector() const;
  Sector FsInfoSector() const;

  FatVolumeSettings settings_;
  std::optional<std::array<std::uint8_t, 11>> label_;
  FatLayout layout_;
  bool built_ = false;
  // This build's own copies of the built-in sectors.
  Sector mbr_;
  Sector bootTemplate_;
  Sector continuation_;
};

// Metadata sectors of a zone of `sectors` with boot type 0 and no label, plus
// 1 (the value the system information records for the zone); 0 when no valid
// volume fits. Computed in memory: no scratch file is involved.
std::uint32_t FatMetadataSectors(std::uint32_t sectors);

}  // namespace kvx::fat
