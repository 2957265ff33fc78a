#include "engine/fat/fat_volume.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/fat/boot_code.h"

namespace kvx::fat {
namespace {

std::vector<std::uint8_t> SectorOf(const TFAT& v, std::uint32_t n) {
  std::vector<std::uint8_t> s(512);
  v.ReadSectors(n, s);
  return s;
}
std::uint32_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8);
}
std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return Le16(b, at) | (Le16(b, at + 2) << 16);
}
std::string Text(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t n) {
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(at),
                     b.begin() + static_cast<std::ptrdiff_t>(at + n));
}
bool AllZero(const std::vector<std::uint8_t>& b, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i)
    if (b[i] != 0) return false;
  return true;
}

TFAT Built(std::uint32_t sectors, std::uint8_t bootType = kNoBoot, std::string label = {},
           std::optional<std::uint32_t> volumeId = std::nullopt) {
  TFAT v(FatVolumeSettings{sectors, bootType, std::move(label), volumeId});
  EXPECT_EQ(v.Build(), FatError::kNone) << sectors << " sectors";
  return v;
}

// Layouts worked out by hand from the rules: V = sectors - 33; pass 1 with 1
// reserved sector (32 for FAT32 and boot type 3) measures c; pass 2 uses
// (8 - c mod 8) mod 8 + 1; FAT size by the formula, grown while short.
TEST(FatLayout, WorkedExamples) {
  struct {
    std::uint32_t sectors;
    std::uint8_t boot;
    FatKind kind;
    unsigned spc, reserved, fats, fatSectors, clusters, volumeSectors, image;
  } cases[] = {
      // V = 64: one FAT, one root sector; c = 35 -> 6 reserved.
      {97, kNoBoot, FatKind::Fat12, 1, 6, 1, 1, 56, 64, 40},
      {200, kNoBoot, FatKind::Fat12, 1, 6, 2, 1, 95, 167, 104},
      // 1 and 2 sectors a cluster give 8230 and 4131 clusters, too many for FAT12.
      {8399, kNoBoot, FatKind::Fat12, 4, 6, 2, 9, 2069, 8366, 120},
      // The table's 0 row: 2 sectors a cluster.
      {8400, kNoBoot, FatKind::Fat16, 2, 6, 2, 17, 4131, 8367, 136},
      {8433, kUsbHdd, FatKind::Fat16, 2, 32, 2, 17, 4135, 8400, 162},
      {131073, kUsbHdd, FatKind::Fat16, 4, 32, 2, 128, 32672, 131040, 384},
      // The formula's 244 sectors hold 62464 entries for 62463 clusters + 2.
      {1000001, kNoBoot, FatKind::Fat16, 16, 6, 2, 245, 62463, 999968, 592},
      // 65526 clusters cut back to 65524: the volume ends at 584 + 65524 * 64.
      {4194303, kNoBoot, FatKind::Fat16, 64, 8, 2, 256, 65524, 4194120, 616},
      {4194304, kNoBoot, FatKind::Fat32, 8, 32, 2, 4092, 523256, 4194271, 8256},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sectors);
    const TFAT v = Built(c.sectors, c.boot);
    const FatLayout& l = v.layout();
    EXPECT_EQ(l.kind, c.kind);
    EXPECT_EQ(l.partitionSectors, c.sectors - 33);
    EXPECT_EQ(l.sectorsPerCluster, c.spc);
    EXPECT_EQ(l.reservedSectors, c.reserved);
    EXPECT_EQ(l.fatCount, c.fats);
    EXPECT_EQ(l.fatSectors, c.fatSectors);
    EXPECT_EQ(l.clusterCount, c.clusters);
    EXPECT_EQ(l.volumeSectors, c.volumeSectors);
    EXPECT_EQ(v.imageSectors(), c.image);
    // The measure the system information records: boot type 0, plus 1.
    if (c.boot == kNoBoot) {
      EXPECT_EQ(FatMetadataSectors(c.sectors), c.image + 1);
    }
  }
}

TEST(FatLayout, SecondPassReservedCount) {
  struct {
    std::uint32_t written;
    unsigned reserved;
  } cases[] = {{104, 1}, {105, 8}, {111, 2}, {97, 8}, {131, 6}, {0, 1}};
  for (const auto& c : cases) EXPECT_EQ(AlignedReservedSectors(c.written), c.reserved) << c.written;
}

// The rules every reader applies, checked over every zone size up to 70000
// sectors and a spread of larger ones: a cluster count inside the kind's
// range, a FAT with an entry for every cluster, a volume inside its
// partition, and the metadata ending on 8 sectors where the passes agree.
TEST(FatLayout, EverySizeGivesAReadableVolume) {
  std::vector<std::uint32_t> sizes;
  for (std::uint32_t s = 0; s <= 70000; ++s) sizes.push_back(s);
  for (std::uint64_t s = 70001; s <= 4300000; s += 4999) sizes.push_back(std::uint32_t(s));
  for (std::uint32_t s :
       {4194209u, 4194210u, 4194303u, 4194304u, 67108897u, 2147483647u, 4294967295u})
    sizes.push_back(s);
  for (std::uint32_t s : sizes) {
    TFAT v(FatVolumeSettings{s, kNoBoot, {}, std::nullopt});
    const FatError e = v.Build();
    if (e != FatError::kNone) {
      // Only zones too small for the MBR area, the root directory and a
      // cluster are refused.
      ASSERT_EQ(e, FatError::kVolumeTooSmall) << s;
      ASSERT_LT(s, 120u) << s;
      ASSERT_EQ(FatMetadataSectors(s), 0u);
      continue;
    }
    const FatLayout& l = v.layout();
    const std::uint32_t expectedKind = s >= 4194304 ? 0x0B : s >= 8400 ? 0x06 : 0x01;
    ASSERT_EQ(static_cast<std::uint32_t>(l.kind), expectedKind) << s;
    const unsigned bits = l.kind == FatKind::Fat12 ? 12 : l.kind == FatKind::Fat16 ? 16 : 32;
    const std::uint64_t lo = bits == 12 ? 1 : bits == 16 ? 4085 : 65525;
    const std::uint64_t hi = bits == 12 ? 4084 : bits == 16 ? 65524 : 0x0FFFFFF5;
    ASSERT_GE(l.clusterCount, lo) << s;
    ASSERT_LE(l.clusterCount, hi) << s;
    ASSERT_GE(std::uint64_t{l.fatSectors} * 4096 / bits, l.clusterCount + 2ull) << s;
    const std::uint64_t dataStart = l.reservedSectors + std::uint64_t{l.fatCount} * l.fatSectors +
                                    (l.rootEntries * 32u + 511) / 512;
    ASSERT_EQ(l.clusterCount, (l.volumeSectors - dataStart) / l.sectorsPerCluster) << s;
    ASSERT_LE(l.volumeSectors, l.partitionSectors) << s;
    // A cut FAT16 volume gives up two clusters and the partial one at the end.
    ASSERT_LT(l.partitionSectors - l.volumeSectors, 3u * l.sectorsPerCluster) << s;
    ASSERT_EQ(l.imageSectors, 32 + l.firstRootSector + l.rootSectors) << s;
    if (l.kind != FatKind::Fat32 && l.imageSectors == l.firstPassSectors + l.reservedSectors - 1) {
      ASSERT_EQ(l.imageSectors % 8, 0u) << s;
    }
  }
}

TEST(FatLayout, TooSmallZonesAreRefused) {
  for (std::uint32_t s : {0u, 1u, 33u, 34u, 38u, 98u}) {
    TFAT v(FatVolumeSettings{s, kNoBoot, "X", std::nullopt});
    EXPECT_EQ(v.Build(), FatError::kVolumeTooSmall) << s;
    EXPECT_EQ(v.imageSectors(), 0u);
    std::vector<std::uint8_t> out(512, 0xAB);
    v.ReadSectors(0, out);
    EXPECT_EQ(out[0], 0xAB) << "nothing is produced for a refused zone";
    EXPECT_EQ(FatMetadataSectors(s), 0u);
  }
}

TEST(FatBootArea, Fat16FieldsWithBootTypeHdd) {
  const TFAT v = Built(131073, kUsbHdd, "Disk 1", 0xCAFEF00D);
  const auto mbr = SectorOf(v, 0);
  const std::uint8_t entry[16] = {0x80, 1, 1, 0, 0x06, 2,    0xFF, 0xFF,
                                  32,   0, 0, 0, 0xE0, 0xFF, 0x01, 0x00};  // 131040
  EXPECT_EQ(std::memcmp(mbr.data() + 446, entry, 16), 0);
  EXPECT_TRUE(AllZero(mbr, 462, 510)) << "the other three entries stay empty";
  EXPECT_EQ(Le16(mbr, 510), 0xAA55u);
  for (std::uint32_t n = 1; n < 32; ++n) EXPECT_TRUE(AllZero(SectorOf(v, n), 0, 512)) << n;

  const auto b = SectorOf(v, 32);
  EXPECT_EQ(b[0], 0xEB);
  EXPECT_EQ(b[1], 0x3C);
  EXPECT_EQ(b[2], 0x90);
  EXPECT_EQ(Text(b, 3, 8), "MSWIN4.1");
  struct {
    std::size_t at, width;
    std::uint32_t value;
  } fields[] = {{11, 2, 512},  {13, 1, 4},  {14, 2, 32},   {16, 1, 2},
                {17, 2, 1024}, {19, 2, 0},  {21, 1, 0xF8}, {22, 2, 128},
                {24, 2, 63},   {26, 2, 32}, {28, 4, 63},   {32, 4, 131040},
                {36, 1, 0x80}, {37, 1, 0},  {38, 1, 0x29}, {39, 4, 0xCAFEF00D}};
  for (const auto& f : fields) {
    const std::uint32_t got = f.width == 1 ? b[f.at] : f.width == 2 ? Le16(b, f.at) : Le32(b, f.at);
    EXPECT_EQ(got, f.value) << "boot sector byte " << f.at;
  }
  EXPECT_EQ(Text(b, 43, 11), "DISK 1     ");
  EXPECT_EQ(Text(b, 54, 8), "FAT16   ");
  EXPECT_EQ(Le16(b, 510), 0xAA55u);
  for (std::uint32_t n = 33; n < 32 + 32; ++n) EXPECT_TRUE(AllZero(SectorOf(v, n), 0, 512)) << n;
}

TEST(FatBootArea, Fat32SectorsAndBackups) {
  for (std::uint8_t boot : {kNoBoot, kUsbHdd}) {
    SCOPED_TRACE(int(boot));
    const TFAT v = Built(4194304, boot, "F32");
    const std::uint32_t bs = 32;
    const auto mbr = SectorOf(v, 0);
    EXPECT_EQ(mbr[446 + 4], 0x0B);
    EXPECT_EQ(mbr[446 + 5], 65) << "end head = V / (63 * 1023)";
    EXPECT_EQ(Le32(mbr, 446 + 12), 4194271u);

    const auto b = SectorOf(v, bs);
    EXPECT_EQ(b[1], 0x58);
    struct {
      std::size_t at, width;
      std::uint32_t value;
    } fields[] = {{13, 1, 8},    {14, 2, 32},   {16, 1, 2},   {17, 2, 0},    {19, 2, 0},
                  {22, 2, 0},    {24, 2, 63},   {26, 2, 512}, {28, 4, 63},   {32, 4, 4194271},
                  {36, 4, 4092}, {40, 2, 0},    {42, 2, 0},   {44, 4, 2},    {48, 2, 1},
                  {50, 2, 6},    {64, 1, 0x80}, {65, 1, 0},   {66, 1, 0x29}, {67, 4, 0x265C1ED4}};
    for (const auto& f : fields) {
      const std::uint32_t got = f.width == 1   ? b[f.at]
                                : f.width == 2 ? Le16(b, f.at)
                                               : Le32(b, f.at);
      EXPECT_EQ(got, f.value) << "boot sector byte " << f.at;
    }
    EXPECT_TRUE(AllZero(b, 52, 64));
    EXPECT_EQ(Text(b, 71, 11), "F32        ");
    EXPECT_EQ(Text(b, 82, 8), "FAT32   ");

    const auto info = SectorOf(v, bs + 1);
    EXPECT_EQ(Text(info, 0, 4), "RRaA");
    EXPECT_TRUE(AllZero(info, 4, 484));
    EXPECT_EQ(Text(info, 484, 4), "rrAa");
    EXPECT_EQ(Le32(info, 488), 523255u) << "every cluster but the root directory's is free";
    EXPECT_EQ(Le32(info, 492), 2u);
    EXPECT_TRUE(AllZero(info, 496, 510));
    EXPECT_EQ(Le16(info, 510), 0xAA55u);

    const auto third = SectorOf(v, bs + 2);
    const Sector cont = Fat32ContinuationTemplate();
    if (boot == kNoBoot) {
      EXPECT_TRUE(AllZero(third, 0, 510));
      EXPECT_EQ(Le16(third, 510), 0xAA55u);
    } else {
      EXPECT_TRUE(std::equal(third.begin(), third.end(), cont.begin()));
    }
    for (std::uint32_t k = 0; k < 3; ++k)
      EXPECT_EQ(SectorOf(v, bs + 6 + k), SectorOf(v, bs + k)) << "backup of sector " << k;
    for (std::uint32_t n : {3u, 4u, 5u, 9u, 10u, 11u, 13u, 31u})
      EXPECT_TRUE(AllZero(SectorOf(v, bs + n), 0, 512)) << n;
    const auto twelfth = SectorOf(v, bs + 12);
    EXPECT_TRUE(std::equal(twelfth.begin(), twelfth.begin() + 508, cont.begin() + 1));
    EXPECT_EQ(Le16(twelfth, 508), 0u);
    EXPECT_EQ(Le16(twelfth, 510), 0xAA55u);

    const std::uint8_t entries[12] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF,
                                      0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
    for (std::uint32_t fat : {bs + 32, bs + 32 + 4092}) {
      const auto s = SectorOf(v, fat);
      EXPECT_EQ(std::memcmp(s.data(), entries, 12), 0) << fat;
      EXPECT_TRUE(AllZero(s, 12, 512));
      EXPECT_TRUE(AllZero(SectorOf(v, fat + 1), 0, 512));
    }
    const auto root = SectorOf(v, bs + 32 + 8184);
    EXPECT_EQ(Text(root, 0, 11), "F32        ");
    EXPECT_EQ(root[11], 0x08);
    EXPECT_TRUE(AllZero(root, 12, 512));
    EXPECT_EQ(v.imageSectors(), bs + 32 + 8184 + 8) << "the root directory is one cluster";
  }
}

// Entry 0 carries the media byte (0xF0 for boot type 1, else 0xF8), entry 1
// the end-of-chain mark, in both FATs.
TEST(FatTables, FirstEntriesFollowTheMediaByte) {
  struct {
    std::uint32_t sectors;
    std::uint8_t boot;
    std::vector<std::uint8_t> entries;
  } cases[] = {
      {4000, kNoBoot, {0xF8, 0xFF, 0xFF}},
      {4000, kUsbZip32, {0xF0, 0xFF, 0xFF}},
      {100000, kNoBoot, {0xF8, 0xFF, 0xFF, 0xFF}},
      {100000, kUsbZip32, {0xF0, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sectors);
    const TFAT v = Built(c.sectors, c.boot);
    const FatLayout& l = v.layout();
    EXPECT_EQ(SectorOf(v, 32)[21], c.entries[0]) << "media byte";
    for (std::uint32_t fat = 0; fat < 2; ++fat) {
      const auto s = SectorOf(v, 32 + l.reservedSectors + fat * l.fatSectors);
      EXPECT_TRUE(std::equal(c.entries.begin(), c.entries.end(), s.begin())) << fat;
      EXPECT_TRUE(AllZero(s, c.entries.size(), 512));
    }
  }
}

TEST(FatLabel, StoredForm) {
  struct {
    std::string in;
    const char* stored;  // nullptr: no label
  } cases[] = {
      {"", nullptr},
      {"           ", nullptr},
      {"kvx disk", "KVX DISK   "},
      {"  LEAD", "LEAD       "},
      {"a.b*c/d?e", "A_B_C_D_E  "},
      {"TWELVE CHARS", "TWELVE CHAR"},
      {"\xE5"
       "ABC",
       "\x05"
       "ABC       "},
      {std::string("AB\0CD", 5), "AB         "},
      {std::string("\0CD", 3), nullptr},
      // A double-byte character is copied whole, its second byte unchanged,
      // and one that would straddle the 11-byte limit is left out.
      {"\xD6\x61"
       "x",
       "\xD6\x61"
       "X        "},
      {"ABCDEFGHIJ\xD6\xD0", "ABCDEFGHIJ "},
  };
  for (const auto& c : cases) {
    const auto stored = StoredLabel(c.in);
    if (c.stored == nullptr) {
      EXPECT_FALSE(stored.has_value()) << c.in;
      continue;
    }
    ASSERT_TRUE(stored.has_value()) << c.in;
    EXPECT_EQ(std::string(stored->begin(), stored->end()), std::string(c.stored, 11)) << c.in;
  }
}

TEST(FatLabel, RootEntryAndBootSectorCopy) {
  const TFAT labelled = Built(20000, kNoBoot, "Zone0");
  const std::uint32_t root = 32 + labelled.layout().firstRootSector;
  const auto entry = SectorOf(labelled, root);
  EXPECT_EQ(Text(entry, 0, 11), "ZONE0      ");
  EXPECT_EQ(entry[11], 0x08);
  EXPECT_TRUE(AllZero(entry, 12, 512)) << "times, cluster and size are zero";
  EXPECT_EQ(Text(SectorOf(labelled, 32), 43, 11), "ZONE0      ");

  const TFAT unlabelled = Built(20000);
  EXPECT_TRUE(AllZero(SectorOf(unlabelled, root), 0, 512));
  EXPECT_EQ(Text(SectorOf(unlabelled, 32), 43, 11), "NO NAME    ");
  for (std::uint32_t n = root; n < unlabelled.imageSectors(); ++n)
    EXPECT_TRUE(AllZero(SectorOf(unlabelled, n), 0, 512)) << n;
}

// The writer streams the image in chunks of its own choosing; any split gives
// the same bytes, and reading past the image gives zeros.
TEST(FatImage, ChunkedReadsMatchTheWholeImage) {
  const TFAT v = Built(300001, kUsbHdd, "CHUNKS");
  const auto whole = v.Image();
  ASSERT_EQ(whole.size(), std::size_t{v.imageSectors()} * 512);
  std::vector<std::uint8_t> pieced(whole.size() + 1024, 0xCC);
  const std::size_t chunk = 3 * 512 + 100;  // not a whole number of sectors
  for (std::size_t at = 0; at < pieced.size(); at += 512 * 3) {
    std::vector<std::uint8_t> part(std::min(chunk, pieced.size() - at));
    v.ReadSectors(static_cast<std::uint32_t>(at / 512), part);
    std::copy(part.begin(), part.end(), pieced.begin() + static_cast<std::ptrdiff_t>(at));
  }
  EXPECT_TRUE(std::equal(whole.begin(), whole.end(), pieced.begin()));
  EXPECT_TRUE(AllZero(pieced, whole.size(), pieced.size()));
}

}  // namespace
}  // namespace kvx::fat
