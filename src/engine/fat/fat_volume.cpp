#include "engine/fat/fat_volume.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kvx::fat {
namespace {

// The partition entry and the volume take these sectors out of the zone: the
// MBR area up to the boot sector, and one more at the end.
constexpr std::uint32_t kZoneOverhead = kPartitionStart + 1;

// Volumes of at most this many sectors get one FAT and a one-sector root
// directory.
constexpr std::uint32_t kTinyVolume = 64;

constexpr std::uint16_t kRootEntries = 1024;    // FAT12/16: 64 sectors
constexpr std::uint16_t kTinyRootEntries = 16;  // one sector
constexpr std::uint16_t kFixedReserved = 32;    // FAT32 and boot type 3
constexpr std::uint16_t kFat32FsInfoSector = 1;
constexpr std::uint16_t kFat32BackupBootSector = 6;
constexpr std::uint32_t kFat32RootCluster = 2;

struct ClusterRow {
  std::uint32_t limit;  // volume sectors V up to and including this
  std::uint8_t sectorsPerCluster;
};

// First row whose limit is at least V. A 0 marks sizes the kind cannot serve
// with this table.
constexpr ClusterRow kFat16Clusters[] = {{8400, 0},     {32680, 2},    {262144, 4},  {524288, 8},
                                         {1048576, 16}, {2097152, 32}, {4194304, 64}};
constexpr ClusterRow kFat32Clusters[] = {{66600, 0},       {262144, 2},    {524288, 4},
                                         {16777216, 8},    {33554432, 16}, {67108864, 32},
                                         {4294967295u, 64}};

// FAT16 volumes that meet the table's 0 entry (V of 8367..8400 sectors, as the
// kind choice sends zones of 8400 sectors and more here) take the next row's
// 2 sectors per cluster: even with 32 reserved sectors that leaves at least
// 4118 clusters, a genuine FAT16 (4085 or more).
constexpr std::uint8_t kFat16SmallestCluster = 2;

template <std::size_t N>
std::uint8_t ClusterSizeFor(const ClusterRow (&table)[N], std::uint32_t v) {
  for (const auto& row : table)
    if (v <= row.limit) return row.sectorsPerCluster;
  return table[N - 1].sectorsPerCluster;
}

void Put16(Sector& s, std::size_t at, std::uint32_t v) {
  s[at] = static_cast<std::uint8_t>(v);
  s[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Sector& s, std::size_t at, std::uint32_t v) {
  Put16(s, at, v & 0xFFFF);
  Put16(s, at + 2, v >> 16);
}
void PutText(Sector& s, std::size_t at, std::string_view text) {
  std::copy(text.begin(), text.end(), s.begin() + static_cast<std::ptrdiff_t>(at));
}

FatKind KindFor(std::uint32_t sectors) {
  if (sectors >= kFat32FromSectors) return FatKind::Fat32;
  if (sectors >= kFat16FromSectors) return FatKind::Fat16;
  return FatKind::Fat12;
}

// Geometry and sizes of one pass for a given reserved-sector count.
struct Pass {
  std::uint8_t sectorsPerCluster = 0;
  std::uint32_t fatSectors = 0;
  std::uint32_t dataStart = 0;  // first data sector, counted from the boot sector
  std::uint64_t clusters = 0;
};

// FAT size by the FAT file system format's formula. It sizes every entry as
// 16 bits (32 bits for FAT32, hence the halving), so a FAT12 FAT comes out
// larger than needed, which readers accept.
std::uint32_t FatSizeFor(FatKind kind, std::uint64_t v, std::uint32_t reserved,
                         std::uint32_t rootSectors, std::uint32_t spc, std::uint32_t fats) {
  const std::uint64_t t1 = v - reserved - rootSectors;  // caller ensures v is larger
  std::uint64_t t2 = 256ull * spc + fats;
  if (kind == FatKind::Fat32) t2 /= 2;
  std::uint64_t f = (t1 + t2 - 1) / t2;
  if (kind != FatKind::Fat32 && f == 0) f = 1;
  return static_cast<std::uint32_t>(f);
}

// Entries a FAT of `sectors` sectors holds: 12, 16 or 32 bits each.
std::uint64_t FatEntries(FatKind kind, std::uint32_t sectors) {
  const std::uint64_t bits = std::uint64_t{sectors} * 512 * 8;
  switch (kind) {
    case FatKind::Fat12:
      return bits / 12;
    case FatKind::Fat16:
      return bits / 16;
    case FatKind::Fat32:
      return bits / 32;
  }
  return 0;
}

FatError PlanPass(FatKind kind, std::uint32_t v, std::uint16_t reserved, std::uint8_t fats,
                  std::uint32_t rootSectors, Pass& p) {
  if (static_cast<std::uint64_t>(reserved) + rootSectors >= v) return FatError::kVolumeTooSmall;
  auto tryClusterSize = [&](std::uint8_t spc) {
    p.sectorsPerCluster = spc;
    p.fatSectors = FatSizeFor(kind, v, reserved, rootSectors, spc, fats);
    for (;;) {
      const std::uint64_t start =
          static_cast<std::uint64_t>(reserved) + std::uint64_t{fats} * p.fatSectors + rootSectors;
      p.dataStart = static_cast<std::uint32_t>(std::min<std::uint64_t>(start, v));
      p.clusters = start < v ? (v - start) / spc : 0;
      // The formula leaves out the two reserved entries (0 and 1), so for
      // some sizes its FAT is one entry short of the clusters it describes
      // (1000001 sectors: 62463 clusters, room for 62462). Grow it by a sector
      // until every cluster has its entry.
      if (FatEntries(kind, p.fatSectors) >= p.clusters + 2 || p.clusters == 0) break;
      ++p.fatSectors;
    }
  };
  switch (kind) {
    case FatKind::Fat12:
      // One sector per cluster as long as the count stays a FAT12 count; larger
      // FAT12 zones (V above about 4150 sectors) double the cluster size until
      // it does, since more than 4084 clusters would be read as FAT16.
      for (std::uint8_t spc = 1; spc <= 64; spc = static_cast<std::uint8_t>(spc * 2)) {
        tryClusterSize(spc);
        if (p.clusters <= kMaxFat12Clusters) break;
      }
      break;
    case FatKind::Fat16: {
      const std::uint8_t spc = ClusterSizeFor(kFat16Clusters, v);
      tryClusterSize(spc == 0 ? kFat16SmallestCluster : spc);
      break;
    }
    case FatKind::Fat32:
      // The kind choice gives FAT32 only to V of 4194271 and more, far above
      // the table's 0 row; 1 sector per cluster stands for it and fails the
      // cluster-count check below.
      tryClusterSize(std::max<std::uint8_t>(ClusterSizeFor(kFat32Clusters, v), 1));
      break;
  }
  if (p.clusters == 0) return FatError::kVolumeTooSmall;
  switch (kind) {
    case FatKind::Fat12:
      if (p.clusters > kMaxFat12Clusters) return FatError::kNoValidClusterSize;
      break;
    case FatKind::Fat16:
      if (p.clusters <= kMaxFat12Clusters) return FatError::kNoValidClusterSize;
      break;  // too many clusters are cut off by the caller
    case FatKind::Fat32:
      if (p.clusters <= kMaxFat16Clusters || p.clusters > kMaxFat32Clusters)
        return FatError::kNoValidClusterSize;
      break;
  }
  return FatError::kNone;
}

bool IsForbiddenInLabel(std::uint8_t c) {
  return c < 0x20 || c == 0x7F || std::strchr("\"*+,./:;<=>?[\\]|", c) != nullptr;
}

}  // namespace

const char* FatErrorText(FatError e) {
  switch (e) {
    case FatError::kNone:
      return "no error";
    case FatError::kVolumeTooSmall:
      return "zone too small for a FAT volume";
    case FatError::kNoValidClusterSize:
      return "no cluster size fits the FAT type";
  }
  return "unknown FAT error";
}

std::uint8_t AlignedReservedSectors(std::uint32_t written) {
  return static_cast<std::uint8_t>((8 - written % 8) % 8 + 1);
}

std::optional<std::array<std::uint8_t, 11>> StoredLabel(std::string_view label) {
  std::array<std::uint8_t, 11> out;
  out.fill(' ');
  std::size_t o = 0;
  std::size_t i = 0;
  while (i < label.size() && label[i] == ' ') ++i;  // a label may not begin with a blank
  for (; i < label.size() && o < out.size(); ++i) {
    const auto c = static_cast<std::uint8_t>(label[i]);
    if (c == 0) break;  // the settings field ends at its NUL
    if (c >= 0x81 && i + 1 < label.size()) {
      if (o + 2 > out.size()) break;  // the pair does not fit: stop before it
      out[o++] = c;
      out[o++] = static_cast<std::uint8_t>(label[++i]);
      continue;
    }
    if (c >= 'a' && c <= 'z')
      out[o++] = static_cast<std::uint8_t>(c - 'a' + 'A');
    else if (IsForbiddenInLabel(c))
      out[o++] = '_';
    else
      out[o++] = c;
  }
  if (std::all_of(out.begin(), out.end(), [](std::uint8_t c) { return c == ' '; }))
    return std::nullopt;
  if (out[0] == 0xE5) out[0] = 0x05;
  return out;
}

TFAT::TFAT(FatVolumeSettings settings)
    : settings_(std::move(settings)),
      label_(StoredLabel(settings_.label)),
      mbr_(MbrTemplate()),
      continuation_(Fat32ContinuationTemplate()) {}

FatError TFAT::Build() {
  built_ = false;
  if (settings_.sectors <= kZoneOverhead) return FatError::kVolumeTooSmall;
  const FatKind kind = KindFor(settings_.sectors);
  const std::uint32_t v = settings_.sectors - kZoneOverhead;
  const std::uint8_t boot = settings_.bootType;
  const bool fixedReserved = kind == FatKind::Fat32 || boot == kUsbHdd;
  const bool pcGeometry = kind == FatKind::Fat32 || boot == kUsbHdd;  // 63 sectors a track

  FatLayout l;
  l.kind = kind;
  l.partitionSectors = v;
  l.volumeSectors = v;
  l.fatCount = v <= kTinyVolume ? 1 : 2;
  if (kind == FatKind::Fat32) {
    l.rootEntries = 0;
  } else {
    // A tiny volume's BPB announces the one root sector it gets, so that the
    // root directory never reaches past what the image clears.
    l.rootEntries = v <= kTinyVolume ? kTinyRootEntries : kRootEntries;
  }
  const std::uint32_t rootDirSectors = (l.rootEntries * 32u + 511) / 512;

  // Pass 1 with one reserved sector measures the metadata; pass 2 pads the
  // reserved area so that it ends on a multiple of 8 sectors.
  Pass p1;
  const std::uint16_t r1 = fixedReserved ? kFixedReserved : 1;
  if (FatError e = PlanPass(kind, v, r1, l.fatCount, rootDirSectors, p1); e != FatError::kNone)
    return e;
  const std::uint32_t rootImageSectors =
      kind == FatKind::Fat32 ? p1.sectorsPerCluster : rootDirSectors;
  l.firstPassSectors = kPartitionStart + p1.dataStart - rootDirSectors + rootImageSectors;
  const std::uint16_t r2 =
      fixedReserved ? kFixedReserved : AlignedReservedSectors(l.firstPassSectors);
  Pass p2;
  if (FatError e = PlanPass(kind, v, r2, l.fatCount, rootDirSectors, p2); e != FatError::kNone)
    return e;

  l.reservedSectors = r2;
  l.sectorsPerCluster = p2.sectorsPerCluster;
  l.fatSectors = p2.fatSectors;
  l.firstRootSector = l.fatCount * p2.fatSectors + r2;
  l.rootSectors = kind == FatKind::Fat32 ? p2.sectorsPerCluster : rootDirSectors;
  l.clusterCount = static_cast<std::uint32_t>(p2.clusters);
  if (kind == FatKind::Fat16 && l.clusterCount > kMaxFat16Clusters) {
    // Near the top of the FAT16 range (zones of about 4194210 sectors and up)
    // 64-sector clusters give 65525 or more: every reader would take such a
    // volume for FAT32. The volume ends after cluster 65524 instead: the
    // partition keeps its size and its last two clusters (plus the partial
    // cluster every volume leaves) stay unused.
    l.clusterCount = kMaxFat16Clusters;
    l.volumeSectors = p2.dataStart + kMaxFat16Clusters * l.sectorsPerCluster;
  }
  l.imageSectors = kPartitionStart + l.firstRootSector + l.rootSectors;
  l.media = boot == kUsbZip32 ? 0xF0 : 0xF8;
  l.sectorsPerTrack = pcGeometry ? 63 : 32;
  l.hiddenSectors = pcGeometry ? 63 : 32;
  // Heads as the station has always computed them; a volume below 1023
  // clusters would get 0, which readers refuse as a geometry, so it gets 1.
  l.heads = static_cast<std::uint16_t>(v / (l.sectorsPerCluster * 1023u));
  if (l.heads == 0) l.heads = 1;
  l.mbrSectorsPerTrack = (pcGeometry || boot == kUsbZip63) ? 63 : 32;

  layout_ = l;
  bootTemplate_ = kind == FatKind::Fat32 ? Fat32BootTemplate() : Fat16BootTemplate();
  built_ = true;
  return FatError::kNone;
}

Sector TFAT::BootSector() const {
  const FatLayout& l = layout_;
  Sector s = bootTemplate_;
  PutText(s, 3, "MSWIN4.1");
  Put16(s, 11, 512);
  s[13] = l.sectorsPerCluster;
  Put16(s, 14, l.reservedSectors);
  s[16] = l.fatCount;
  Put16(s, 17, l.rootEntries);
  Put16(s, 19, l.volumeSectors <= 0xFFFF ? l.volumeSectors : 0);
  s[21] = l.media;
  Put16(s, 24, l.sectorsPerTrack);
  Put16(s, 26, l.heads);
  Put32(s, 28, l.hiddenSectors);
  Put32(s, 32, l.volumeSectors > 0xFFFF ? l.volumeSectors : 0);
  // The extended fields sit 28 bytes further on in a FAT32 boot sector.
  std::size_t ext = 36;
  if (l.kind == FatKind::Fat32) {
    Put16(s, 22, 0);
    Put32(s, 36, l.fatSectors);
    Put16(s, 40, 0);  // flags: both FATs mirrored
    Put16(s, 42, 0);  // version 0.0
    Put32(s, 44, kFat32RootCluster);
    Put16(s, 48, kFat32FsInfoSector);
    Put16(s, 50, kFat32BackupBootSector);
    ext = 64;
  } else {
    Put16(s, 22, l.fatSectors);
  }
  s[ext] = 0x80;  // drive number
  s[ext + 1] = 0;
  s[ext + 2] = 0x29;  // extended boot signature: serial, label and type follow
  if (settings_.volumeId) Put32(s, ext + 3, *settings_.volumeId);
  // The label is kept in the boot sector as well as in the root directory;
  // checkers report a volume whose two copies differ.
  if (label_)
    std::copy(label_->begin(), label_->end(), s.begin() + static_cast<std::ptrdiff_t>(ext + 7));
  else
    PutText(s, ext + 7, "NO NAME    ");
  PutText(s, ext + 18,
          l.kind == FatKind::Fat32   ? "FAT32   "
          : l.kind == FatKind::Fat16 ? "FAT16   "
                                     : "FAT12   ");
  return s;
}

Sector TFAT::FsInfoSector() const {
  Sector s{};
  PutText(s, 0, "RRaA");
  PutText(s, 484, "rrAa");
  // Free clusters: all but the root directory's. The count is known here, and
  // checkers report the "unknown" value 0xFFFFFFFF as an uninitialised summary.
  Put32(s, 488, layout_.clusterCount - 1);
  Put32(s, 492, 2);  // search for a free cluster from cluster 2 on
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

Sector TFAT::SectorAt(std::uint32_t n) const {
  const FatLayout& l = layout_;
  Sector s{};
  if (n == 0) {
    s = mbr_;
    const std::uint8_t t = l.mbrSectorsPerTrack;
    std::uint8_t* e = s.data() + 446;
    e[0] = 0x80;  // active
    e[1] = 1;     // start head
    e[2] = 1;     // start sector 1, cylinder bits 8..9 zero
    e[3] = 0;     // start cylinder
    e[4] = static_cast<std::uint8_t>(l.kind);
    e[5] = static_cast<std::uint8_t>(l.partitionSectors / (t * 1023u));  // end head
    e[6] = static_cast<std::uint8_t>(t | 0xC0);  // end sector T, cylinder bits 8..9 of 1023
    e[7] = 0xFF;                                 // end cylinder bits 0..7 of 1023
    Put32(s, 446 + 8, kPartitionStart);
    Put32(s, 446 + 12, l.partitionSectors);
    return s;
  }
  if (n < kPartitionStart || n >= l.imageSectors) return s;
  const std::uint32_t r = n - kPartitionStart;  // counted from the boot sector
  if (r < l.reservedSectors) {
    if (r == 0) return BootSector();
    if (l.kind != FatKind::Fat32) return s;
    switch (r) {
      case kFat32FsInfoSector:
      case kFat32BackupBootSector + kFat32FsInfoSector:
        return FsInfoSector();
      case kFat32BackupBootSector:
        return BootSector();
      case 2:
      case kFat32BackupBootSector + 2:
        if (settings_.bootType != kNoBoot) return continuation_;
        s[510] = 0x55;
        s[511] = 0xAA;
        return s;
      case 12:
        // A shifted copy of the continuation sector: its bytes 1..508 at 0..507.
        std::copy(continuation_.begin() + 1, continuation_.begin() + 509, s.begin());
        s[510] = 0x55;
        s[511] = 0xAA;
        return s;
      default:
        return s;
    }
  }
  const std::uint32_t f = r - l.reservedSectors;
  if (f < l.fatCount * l.fatSectors) {
    if (f % l.fatSectors != 0) return s;
    // Entry 0 holds the media byte with the other bits set, entry 1 the
    // end-of-chain mark; FAT32 also ends the root directory's chain (cluster 2).
    s[0] = l.media;
    switch (l.kind) {
      case FatKind::Fat12:
        s[1] = 0xFF;
        s[2] = 0xFF;
        break;
      case FatKind::Fat16:
        s[1] = s[2] = s[3] = 0xFF;
        break;
      case FatKind::Fat32:
        Put32(s, 0, 0x0FFFFF00u | l.media);
        Put32(s, 4, 0x0FFFFFFF);
        Put32(s, 8, 0x0FFFFFFF);
        break;
    }
    return s;
  }
  if (r == l.firstRootSector && label_) {
    std::copy(label_->begin(), label_->end(), s.begin());
    s[11] = 0x08;  // volume label attribute
  }
  return s;
}

void TFAT::ReadSectors(std::uint32_t first, std::span<std::uint8_t> out) const {
  if (!built_) return;
  std::size_t done = 0;
  for (std::uint32_t n = first; done < out.size(); ++n) {
    const Sector s = SectorAt(n);
    const std::size_t take = std::min<std::size_t>(s.size(), out.size() - done);
    std::copy_n(s.begin(), take, out.begin() + static_cast<std::ptrdiff_t>(done));
    done += take;
  }
}

std::vector<std::uint8_t> TFAT::Image() const {
  std::vector<std::uint8_t> bytes(std::size_t{imageSectors()} * 512);
  ReadSectors(0, bytes);
  return bytes;
}

std::uint32_t FatMetadataSectors(std::uint32_t sectors) {
  TFAT volume(FatVolumeSettings{sectors, kNoBoot, {}, std::nullopt});
  if (volume.Build() != FatError::kNone) return 0;
  return volume.imageSectors() + 1;
}

}  // namespace kvx::fat
