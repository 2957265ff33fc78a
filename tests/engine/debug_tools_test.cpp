#include "engine/debug_tools.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "device/commands.h"
#include "engine/station.h"
#include "support/fake_transport.h"

namespace kvx {
namespace {

using namespace std::chrono_literals;

std::uint32_t Be32At(const Cdb& cdb, std::size_t at) {
  return std::uint32_t(cdb[at]) << 24 | std::uint32_t(cdb[at + 1]) << 16 |
         std::uint32_t(cdb[at + 2]) << 8 | cdb[at + 3];
}

TEST(DebugDecimalField, AcceptsOnlyPlainDecimalNumbers) {
  struct Case {
    const char* text;
    std::optional<std::uint32_t> value;
  } cases[] = {
      {"0", 0u},
      {"10", 10u},
      {" 42 ", 42u},
      {"4294967295", 4294967295u},
      {"", std::nullopt},
      {"  ", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {"0x10", std::nullopt},
      {"1a", std::nullopt},
      {"1 2", std::nullopt},
      {"4294967296", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseDecimalField(c.text), c.value) << '"' << c.text << '"';
}

TEST(DebugHexDump, RoundTripsAndShowsOffsets) {
  std::vector<std::uint8_t> page(2112);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = std::uint8_t(i * 7 + 3);
  const std::string dump = FormatHexDump(page);
  EXPECT_EQ(dump.substr(0, 54), "0000: 03 0A 11 18 1F 26 2D 34 3B 42 49 50 57 5E 65 6C\n");
  EXPECT_NE(dump.find("\n0830: "), std::string::npos) << "the last line starts at 2096";
  std::string error;
  const auto back = ParseHexDump(dump, page.size(), error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(*back, page);
}

TEST(DebugHexDump, ReadsEditedTextAndRefusesWhatIsNotOneExactPage) {
  struct Case {
    const char* name;
    const char* text;
    std::size_t size;
    std::vector<std::uint8_t> bytes;  // empty: refused
    const char* error;                // a part of the message
  } cases[] = {
      {"offsets may be left out", "01 02\n  \n0002: a b", 4, {1, 2, 0x0A, 0x0B}, ""},
      {"lower and upper case", "0000: fF 0e", 2, {0xFF, 0x0E}, ""},
      {"not hex", "0000: 01 zz 03", 3, {}, "Line 1: \"zz\" is not a hexadecimal byte"},
      {"three digits", "0000: 01 123", 2, {}, "\"123\" is not a hexadecimal byte"},
      {"byte removed above", "0000: 01 02\n0003: 04", 3, {}, "Line 2: it says offset 0003"},
      {"bad offset", "00g0: 01", 1, {}, "\"00g0\" is not a hexadecimal offset"},
      {"too short", "0000: 01 02", 3, {}, "holds 2 bytes; a page takes 3"},
      {"too long", "01 02 03 04", 3, {}, "holds 4 bytes; a page takes 3"},
      {"empty", "", 2112, {}, "holds 0 bytes; a page takes 2112"},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto bytes = ParseHexDump(c.text, c.size, error);
    if (c.bytes.empty()) {
      EXPECT_FALSE(bytes) << c.name;
      EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    } else {
      ASSERT_TRUE(bytes) << c.name << ": " << error;
      EXPECT_EQ(*bytes, c.bytes) << c.name;
    }
  }
}

class IdleSequence : public ProductionSequence {
 public:
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::int32_t RunProduction(PortJob&) override {
    std::unique_lock l(m);
    cv.wait(l, [this] { return release; });
    return 0;
  }
  std::int32_t RunHighFormatOnly(PortJob& job) override { return RunProduction(job); }
};

class SilentOperator : public Operator {
 public:
  bool confirm(const OperatorMessage&) override { return true; }
  void inform(const OperatorMessage&) override {}
};

// Port 0 holds an identified two-chip disk of 1024 blocks of 64 pages of
// four sectors.
class DebugToolsTest : public ::testing::Test {
 public:
  test::FakeTransport devices;
  IdleSequence sequence;
  SilentOperator op;
  Station station{devices, sequence, op, Language::English};
  DebugTools tools{station};

  DebugToolsTest() {
    FlashTypeRecord ft = station.config().flashTypeRecord(0);
    ft.setFlashName("TEST-2K");
    ft.setBlockPerChip(1024);
    ft.setPagePerBlock(64);
    ft.setByte(FlashTypeRecord::kSectorPerPage, 4);
    FORMATINFO& rec = station.record(0);
    rec.DevicePath = "fake:0";
    rec.hDevice = kInvalidHandle;
    rec.Present = 1;
    rec.FlashTypeIndex = 0;
    rec.ChipCount = 2;
  }
  ~DebugToolsTest() override {
    {
      std::lock_guard l(sequence.m);
      sequence.release = true;
    }
    sequence.cv.notify_all();
    station.WaitForIdle();
  }
};

TEST_F(DebugToolsTest, ReadSendsTheFirstSectorOfTheBlockAndKeepsTheHandle) {
  std::vector<std::uint8_t> answer(2112);
  for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = std::uint8_t(i);
  devices.replies.push_back({0, answer});
  std::vector<std::uint8_t> page;
  const DebugResult r = tools.ReadPage("1", "10", page);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "Read chip 1 block 10 (sector address 2560): 2112 bytes.");
  EXPECT_EQ(page, answer);
  ASSERT_EQ(devices.sent.size(), 1u);
  const test::SentCommand& c = devices.sent[0];
  EXPECT_EQ(c.cdb[0], op::kReadPagesWithSpare);
  EXPECT_EQ(Be32At(c.cdb, 1), 2560u);
  EXPECT_EQ(c.cdb[5], 1);
  EXPECT_EQ(c.length, 2112u);
  EXPECT_EQ(c.timeout, kDebugCommandTimeoutS);
  EXPECT_EQ(devices.opened, std::vector<std::string>{"fake:0"});
  EXPECT_TRUE(IsOpen(station.record(0).hDevice)) << "the opened handle stays with the port";

  ASSERT_TRUE(tools.EraseBlock("0", "1023").ok);
  EXPECT_EQ(devices.opened.size(), 1u) << "the port's handle is used again";
  EXPECT_EQ(devices.sent[1].handle, devices.sent[0].handle);
}

TEST_F(DebugToolsTest, WriteSendsTheParsedBytesAndEraseOneBlock) {
  std::vector<std::uint8_t> bytes(2112, 0xFF);
  bytes[0] = 0x12;
  bytes[2111] = 0x34;
  ASSERT_TRUE(tools.WritePage("0", "3", FormatHexDump(bytes)).ok);
  ASSERT_TRUE(tools.EraseBlock("1", "7").ok);
  ASSERT_EQ(devices.sent.size(), 2u);
  const test::SentCommand& w = devices.sent[0];
  EXPECT_EQ(w.cdb[0], op::kWritePagesWithSpare);
  EXPECT_EQ(Be32At(w.cdb, 1), 3u * 64 * 4);
  EXPECT_EQ(w.cdb[5], 0);
  EXPECT_EQ(w.dataOut, bytes);
  const test::SentCommand& e = devices.sent[1];
  EXPECT_EQ(e.cdb[0], op::kEraseBlocks);
  EXPECT_EQ(Be32At(e.cdb, 1), 7u) << "first block";
  EXPECT_EQ(Be32At(e.cdb, 5), 1u) << "one block";
  EXPECT_EQ(e.cdb[9], 1) << "chip";
}

TEST_F(DebugToolsTest, EveryRefusalSendsNothing) {
  struct Case {
    const char* name;
    std::function<void(DebugToolsTest&)> setup;
    const char* chip;
    const char* block;
    const char* error;
  } cases[] = {
      {"chip not decimal", {}, "x", "0", "Chip \"x\" is not a decimal number."},
      {"block not decimal", {}, "0", "0x10", "Block \"0x10\" is not a decimal number."},
      {"chip beyond the disk",
       {},
       "2",
       "0",
       "Chip 2 does not exist: the disk has 2 chip(s), 0 to 1."},
      {"chip far beyond a byte", {}, "256", "0", "Chip 256 does not exist"},
      {"block beyond the chip",
       {},
       "0",
       "1024",
       "Block 1024 does not exist: a chip has 1024 blocks"},
      {"no disk", [](DebugToolsTest& t) { t.station.record(0).Present = 0; }, "0", "0",
       "No disk in Port 1."},
      {"not identified", [](DebugToolsTest& t) { t.station.record(0).FlashTypeIndex = -1; }, "0",
       "0", "not identified"},
      {"no chips found", [](DebugToolsTest& t) { t.station.record(0).ChipCount = 0; }, "0", "0",
       "not identified"},
      {"flash type without geometry",
       [](DebugToolsTest& t) { t.station.config().flashTypeRecord(0).setPagePerBlock(0); }, "0",
       "0", "has no usable geometry"},
      {"sector addresses beyond 32 bits",
       [](DebugToolsTest& t) { t.station.config().flashTypeRecord(0).setBlockPerChip(0x01000001); },
       "0", "0", "has no usable geometry"},
      {"does not open", [](DebugToolsTest& t) { t.devices.openable["fake:0"] = false; }, "0", "0",
       "could not be opened"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each case starts from the fixture's disk.
    FORMATINFO& rec = station.record(0);
    rec.Present = 1;
    rec.FlashTypeIndex = 0;
    rec.ChipCount = 2;
    station.config().flashTypeRecord(0).setPagePerBlock(64);
    station.config().flashTypeRecord(0).setBlockPerChip(1024);
    devices.openable.clear();
    if (c.setup) c.setup(*this);
    std::vector<std::uint8_t> page{1, 2, 3};
    const DebugResult read = tools.ReadPage(c.chip, c.block, page);
    const DebugResult write = tools.WritePage(c.chip, c.block, FormatHexDump(page));
    const DebugResult erase = tools.EraseBlock(c.chip, c.block);
    for (const DebugResult& r : {read, write, erase}) {
      EXPECT_FALSE(r.ok);
      EXPECT_NE(r.text.find(c.error), std::string::npos) << r.text;
    }
    EXPECT_EQ(page, (std::vector<std::uint8_t>{1, 2, 3})) << "a refused read leaves the view";
    EXPECT_TRUE(devices.sent.empty());
  }
}

TEST_F(DebugToolsTest, BadPageTextIsRefusedAfterTheAddressChecks) {
  const DebugResult r = tools.WritePage("0", "0", "0000: 00 GG");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "Nothing written. Line 1: \"GG\" is not a hexadecimal byte (00 to FF).");
  const DebugResult shortPage = tools.WritePage("0", "0", "00 11");
  EXPECT_NE(shortPage.text.find("holds 2 bytes; a page takes 2112"), std::string::npos);
  EXPECT_TRUE(devices.sent.empty());
}

TEST_F(DebugToolsTest, FailedCommandsAreReportedAndLeaveThePageAlone) {
  const ScsiResult medium = PackSense(sense::kMediumError, 0x11, 0);
  devices.replies.push_back({medium, std::vector<std::uint8_t>(2112, 0xAA)});
  devices.replies.push_back({medium, {}});
  devices.replies.push_back({-1, {}});
  std::vector<std::uint8_t> page(2112, 0x5A);
  const DebugResult read = tools.ReadPage("0", "5", page);
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.text,
            "Reading chip 0 block 5 (sector address 1280) failed: result 200960 (0x00031100).");
  EXPECT_EQ(page, std::vector<std::uint8_t>(2112, 0x5A)) << "no half-read page reaches the view";
  EXPECT_FALSE(tools.WritePage("0", "5", FormatHexDump(page)).ok);
  const DebugResult erase = tools.EraseBlock("0", "5");
  EXPECT_FALSE(erase.ok);
  EXPECT_EQ(erase.text, "Erasing chip 0 block 5 failed: result -1 (0xFFFFFFFF).");
}

TEST_F(DebugToolsTest, ABusyPortIsLeftToItsJob) {
  station.display(0).setButtonEnabled(true);
  station.StartAll();
  ASSERT_TRUE(station.busy(0));
  const std::size_t before = devices.sent.size();
  std::vector<std::uint8_t> page;
  const DebugResult r = tools.ReadPage("0", "0", page);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "Port 1 is busy with a job: stop it or wait until it ends.");
  EXPECT_FALSE(tools.EraseBlock("0", "0").ok);
  EXPECT_EQ(devices.sent.size(), before);
}

TEST_F(DebugToolsTest, ARefreshHoldingThePortsMakesTheActionWaitForNothing) {
  std::unique_lock refresh(station.controlMutex());
  std::vector<std::uint8_t> page;
  const auto start = std::chrono::steady_clock::now();
  const DebugResult r = tools.ReadPage("0", "0", page);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "The ports are being refreshed; try again in a moment.");
  EXPECT_TRUE(devices.sent.empty());
}

TEST_F(DebugToolsTest, PagesLargerThanFourSectorsAreReadWhole) {
  station.config().flashTypeRecord(0).setByte(FlashTypeRecord::kSectorPerPage, 8);
  std::vector<std::uint8_t> page;
  ASSERT_TRUE(tools.ReadPage("0", "1", page).ok);
  EXPECT_EQ(page.size(), 8u * 528);
  EXPECT_EQ(devices.sent[0].length, 8u * 528);
  EXPECT_EQ(Be32At(devices.sent[0].cdb, 1), 64u * 8) << "block 1 starts at sector 512";
}

}  // namespace
}  // namespace kvx
