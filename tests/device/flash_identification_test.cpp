#include "device/flash_identification.h"

#include <gtest/gtest.h>

#include "support/flash_fakes.h"

namespace kvx {
namespace {

using test::Lanes;
using test::kSilent;

constexpr std::uint32_t X = 0xECD35195;
constexpr std::uint32_t Y = 0x98DC9026;

struct IdCase {
  const char* name;
  std::map<int, test::IdBytes> chips;
  bool matched;
  int chipCount, multiChip, largePage, blockOverride;
  const char* text;
};

TEST(IdentifyDevice, CountsChipsAndMatches) {
  test::ListCatalog catalog;
  catalog.types = {{0x11111111, 0, 1024, 64, 4, false, "Other"},
                   {X, 0, 4096, 64, 4, false, "K9GAG"},
                   {Y, 0, 8192, 128, 8, false, "TH58"}};
  const IdCase cases[] = {
      {"four chips on both lanes", {{0, Lanes(X, X)}, {1, Lanes(X, X)}, {2, Lanes(X, X)},
                                    {3, Lanes(X, X)}},
       true, 4, 1, 1, 0, "pcs = 4  Type = K9GAG  FlashID = 0xECD35195  Page = 64"},
      {"lane 0 only, chip 1 empty, chip 2 the same", {{0, Lanes(X, kSilent)}, {2, Lanes(X, kSilent)}},
       true, 2, 1, 0, 0, "pcs = 2  Type = K9GAG  FlashID = 0xECD35195  Page = 64"},
      {"lane 0 only, chip 1 on both lanes stops the count",
       {{0, Lanes(X, kSilent)}, {1, Lanes(X, X)}, {2, Lanes(X, kSilent)}}, true, 1, 0, 0, 0,
       "pcs = 1  Type = K9GAG  FlashID = 0xECD35195  Page = 64"},
      {"both lanes, then mixed lanes: unknown", {{0, Lanes(X, X)}, {1, Lanes(X, Y)}}, false, 1, 0,
       0, 0, "pcs = 1, Type = Unknown, FlashID = 0xECD35195"},
      {"no answer at all", {}, false, 0, 0, 0, 0, "No flash "},
      {"an unknown flash", {{0, Lanes(0x0000ABCD, kSilent)}}, false, 1, 0, 0, 0,
       "pcs = 1, Type = Unknown, FlashID = 0xABCD"},
      {"chip 1 empty, chip 2 of another listed type", {{0, Lanes(X, kSilent)}, {2, Lanes(Y, kSilent)}},
       true, 2, 1, 0, 8192, "pcs = 2  Type = K9GAG  FlashID = 0xECD35195  Page = 64"},
      {"chip 1 of another listed type counts twice",
       {{0, Lanes(X, kSilent)}, {1, Lanes(Y, kSilent)}}, true, 3, 1, 0, 8192,
       "pcs = 3  Type = K9GAG  FlashID = 0xECD35195  Page = 64"},
      {"8 sectors per page is a large page", {{0, Lanes(Y, kSilent)}}, true, 1, 0, 1, 0,
       "pcs = 1  Type = TH58  FlashID = 0x98DC9026  Page = 128"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::IdDisks disks;
    disks.disks["d"].chips = c.chips;
    CommandContext ctx{&disks, {}};
    const DeviceHandle h = disks.open("d");
    const Identification id = IdentifyDevice(ctx, h, catalog, MessageCatalogue(Language::English));
    EXPECT_EQ(id.matched, c.matched);
    EXPECT_EQ(id.chipCount, c.chipCount);
    EXPECT_EQ(id.multiChip, c.multiChip);
    EXPECT_EQ(id.largePage, c.largePage);
    EXPECT_EQ(id.blockCountOverride, c.blockOverride);
    EXPECT_EQ(id.statusText, c.text);
    if (c.matched) {
      ASSERT_GE(id.flashTypeIndex, 0);
      EXPECT_EQ(catalog.types[id.flashTypeIndex].mainFlashId, id.firstFlashId);
    } else {
      EXPECT_EQ(id.flashTypeIndex, -1);
    }
  }
}

TEST(IdentifyDevice, NoFlashEvenWithARecordOfIdZero) {
  test::ListCatalog catalog;
  catalog.types = {{0, 0, 1024, 64, 4, false, "Zero"}};
  test::IdDisks disks;
  disks.disks["d"];
  CommandContext ctx{&disks, {}};
  const Identification id =
      IdentifyDevice(ctx, disks.open("d"), catalog, MessageCatalogue(Language::SimplifiedChinese));
  EXPECT_FALSE(id.matched);
  EXPECT_EQ(id.statusText, "找不到任何闪存 ");
}

TEST(IdentifyDevice, SearchesAllEntriesAndSkipsOtherVariants) {
  test::ListCatalog catalog;
  for (int i = 0; i < 288; ++i)
    catalog.types.push_back({0x1000u + i, 0, 1024, 64, 4, false, "T" + std::to_string(i)});
  catalog.types[286].mainFlashId = X;
  catalog.types[286].idVariant = 1;  // another query mode: never matched
  catalog.types[287].mainFlashId = X;
  catalog.types[287].name = "T5";  // same name as an earlier entry
  test::IdDisks disks;
  disks.disks["d"].chips = {{0, Lanes(X, kSilent)}};
  CommandContext ctx{&disks, {}};
  const Identification id =
      IdentifyDevice(ctx, disks.open("d"), catalog, MessageCatalogue(Language::English));
  ASSERT_TRUE(id.matched);
  EXPECT_EQ(id.flashTypeIndex, 287);
  EXPECT_EQ(id.selectionIndex, 5) << "the list selection is the first item of that name";
}

TEST(IdentifyDevice, AsksEveryChipTwice) {
  test::ListCatalog catalog;
  test::IdDisks disks;
  disks.disks["d"].chips = {{0, Lanes(X, X)}, {1, Lanes(X, X)}, {2, Lanes(X, X)}, {3, Lanes(X, X)}};
  CommandContext ctx{&disks, {}};
  IdentifyDevice(ctx, disks.open("d"), catalog, MessageCatalogue());
  EXPECT_EQ(disks.commands.load(), 8);
}

TEST(HexId, AtLeastFourUpperCaseDigits) {
  EXPECT_EQ(HexId(0xAB), "00AB");
  EXPECT_EQ(HexId(0xECD35195), "ECD35195");
  EXPECT_EQ(HexId(0x1ABCD), "1ABCD");
}

}  // namespace
}  // namespace kvx
