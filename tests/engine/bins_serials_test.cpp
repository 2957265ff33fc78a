#include "engine/bins_serials.h"

#include <gtest/gtest.h>

namespace kvx {
namespace {

TEST(ClassifyCapacity, Rows) {
  std::array<BinRow, kBinRows> rows{};
  rows[2] = {3800, 4000, 3800};
  rows[4] = {100, 200, 0};
  rows[13] = {7000, 8000, 7500};
  struct {
    std::uint32_t mib;
    int bin;
    std::uint32_t fixedMib;
  } cases[] = {
      {3900, 3, 3800},  // capped to the declared size
      {3800, 3, 3800},  // from is inclusive
      {4000, 0, 4000},  // to is exclusive
      {150, 5, 150},    // a declared size of 0 caps nothing
      {7900, 14, 7500}, // rows 13..15 take part
      {50, 0, 50},
  };
  for (auto c : cases) {
    const BinResult r = ClassifyCapacity(c.mib * 2048 + 5, rows);
    EXPECT_EQ(r.binNo, c.bin) << c.mib;
    EXPECT_EQ(r.fixedSectors >> 11, c.fixedMib) << c.mib;
  }
  EXPECT_EQ(ClassifyCapacity(4000 * 2048 - 1, rows).binNo, 3) << "3999.99 MiB truncates to 3999";
}

TEST(MakeSerial, Modes) {
  std::tm t{};
  t.tm_year = 2009 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 8;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 3;
  EXPECT_EQ(MakeSerial(SerialMode::Auto, "", nullptr, t, 7).text, "2009030809050307");
  EXPECT_EQ(MakeSerial(SerialMode::Auto, "", nullptr, t, 123).text, "20090308090503123");
  EXPECT_EQ(MakeSerial(SerialMode::Fix, "ABCDEFGHIJKLMNOPQRS", nullptr, t, 0).text,
            "ABCDEFGHIJKLMNOP");

  std::int32_t counter = 41;
  auto advance = [&]() -> std::optional<std::int32_t> { return ++counter; };
  EXPECT_EQ(MakeSerial(SerialMode::Inc, "ABC", advance, t, 0).text, "ABC000042");
  EXPECT_EQ(counter, 42);
  EXPECT_EQ(MakeSerial(SerialMode::Inc, "0123456789ABCDEF", advance, t, 0).text,
            "0123456789000043");
}

TEST(MakeSerial, IncNeverRepeatsOrOverflows) {
  std::tm t{};
  std::int32_t counter = 999998;
  auto advance = [&]() -> std::optional<std::int32_t> { return ++counter; };
  const auto last = MakeSerial(SerialMode::Inc, "0123456789", advance, t, 0);
  ASSERT_TRUE(last.ok);
  EXPECT_EQ(last.text, "0123456789999999");
  EXPECT_EQ(last.text.size(), 16u);
  const auto over = MakeSerial(SerialMode::Inc, "0123456789", advance, t, 0);
  EXPECT_FALSE(over.ok);
  EXPECT_FALSE(over.error.empty());
  const auto unsaved =
      MakeSerial(SerialMode::Inc, "X", [] { return std::optional<std::int32_t>(); }, t, 0);
  EXPECT_FALSE(unsaved.ok);
}

}  // namespace
}  // namespace kvx
