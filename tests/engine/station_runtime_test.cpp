#include "engine/station_runtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "config/code_types.h"
#include "config/config_test_support.h"
#include "device/commands.h"
#include "engine/demo_settings.h"
#include "sim/simulator.h"
#include "support/wait_for.h"

namespace kvx {
namespace {

using test::WaitFor;

using namespace std::chrono_literals;
using test::TempDir;
using I = ConfigImage;

constexpr const char* kDemoLine =
    "pcs = 1  Type = SIM ECD35195 256x32x4  FlashID = 0xECD35195  Page = 32";

// Ends every job at once with success, so tests of job start need no device work.
class QuickSequence : public ProductionSequence {
 public:
  std::int32_t RunProduction(PortJob&) override { return 0; }
  std::int32_t RunHighFormatOnly(PortJob&) override { return 0; }
};

class RuntimeTest : public ::testing::Test {
 protected:
  std::unique_ptr<StationRuntime> make(RuntimeOptions o) {
    if (o.home.empty()) o.home = dir.path();
    if (!o.localeId) o.localeId = kLocaleEnglishUs;
    if (!o.makeSequence)
      o.makeSequence = [](ProductionEnvironment) { return std::make_unique<QuickSequence>(); };
    std::string error;
    auto rt = StationRuntime::Create(o, op, error);
    EXPECT_TRUE(rt) << error;
    return rt;
  }
  std::unique_ptr<StationRuntime> sim(int disks) {
    RuntimeOptions o;
    o.simDisks = disks;
    return make(o);
  }
  void writeProfile(const std::string& json) { test::WriteBytes(dir / "profile.json", json); }

  TempDir dir;
  FixedAnswerOperator op{true};
};

TEST_F(RuntimeTest, SimulatedDisksAreFoundKeyedAndIdentifiedWithTheDemoSettings) {
  auto rt = sim(4);
  ASSERT_TRUE(rt);
  EXPECT_TRUE(rt->simulated());
  EXPECT_TRUE(rt->demoSettings());
  rt->refreshNow();
  Station& st = rt->station();
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(k);
    const FORMATINFO& rec = st.record(k);
    EXPECT_EQ(rec.Present.load(), 1);
    EXPECT_EQ(rec.PortKey, "Port-1-1." + std::to_string(k + 1));
    EXPECT_EQ(rec.DevicePath, "sim:" + std::to_string(k));
    EXPECT_EQ(rec.FlashTypeIndex, 0);
    const PortView v = st.display(k).snapshot();
    EXPECT_EQ(v.text, kDemoLine);
    EXPECT_EQ(v.colour, BarColour::Blue);
    EXPECT_TRUE(v.buttonEnabled);
  }
  EXPECT_EQ(st.record(4).Present.load(), 0);
  // Identification stored its choice in the image and in the form.
  auto lock = rt->settingsLock();
  EXPECT_EQ(st.config().SelectedFlashType(), 0);
  EXPECT_EQ(st.config().FlashCount(), 1);
  EXPECT_EQ(rt->settings().form().flashTypeSelection, 0);
}

TEST_F(RuntimeTest, DemoSettingsMatchTheShortFormDisksAndTheirCodeIsAccepted) {
  auto rt = sim(1);
  ASSERT_TRUE(rt);
  const ConfigImage image = rt->imageSnapshot();
  const sim::DiskSpec disk = sim::ShortFormProfile(1).disks[0];
  ASSERT_EQ(image.flashTypeCount(), 1u);
  const ConstFlashTypeRecord ft = image.flashTypeRecord(0);
  EXPECT_EQ(ft.MainFlashID(), disk.ids[0].lane0);
  EXPECT_EQ(ft.BlockPerChip(), disk.geometry.blocksPerChip);
  EXPECT_EQ(ft.PagePerBlock(), disk.geometry.pagesPerBlock);
  EXPECT_EQ(ft.SectorPerPage(), disk.geometry.sectorsPerPage);
  EXPECT_EQ(ft.IdVariant(), 0);
  EXPECT_EQ(image.scanCodeOf(0), std::optional<std::size_t>(kDemoScanCode));
  EXPECT_EQ(image.productCodeOf(0), std::optional<std::size_t>(kDemoFinalCode));
  EXPECT_TRUE(image.AutoSelect());
  EXPECT_EQ(image.LevelCount(), 4);
  EXPECT_EQ(image.ScanCount(), 1);
  EXPECT_EQ(image.ActiveZoneCount(), 1);
  EXPECT_EQ(image.ZoneDiskType(0), kDiskRemovable);
  EXPECT_EQ(image.VendorInfo(), "KVX     ");
  EXPECT_EQ(image.ProductInfo(), "Demo Flash Disk ");
  {
    auto lock = rt->settingsLock();
    EXPECT_EQ(rt->settings().form().split.activeZoneCount, 1);
  }

  // The simulated controller checks the checksum word of every download:
  // both demo code types pass, a changed byte does not.
  sim::Simulator& s = *rt->simulator();
  CommandContext ctx;
  ctx.transport = &s;
  const DeviceHandle h = s.open(sim::Simulator::DevicePath(0));
  ASSERT_TRUE(IsOpen(h));
  for (std::size_t code : {kDemoScanCode, kDemoFinalCode}) {
    const ConstCodeTypeRecord r = image.codeTypeRecord(code);
    ASSERT_EQ(r.CodeLength(), kDemoCodeSectors);
    std::vector<std::uint8_t> bytes(r.CodeImage().begin(),
                                    r.CodeImage().begin() + r.CodeLength() * 512);
    EXPECT_EQ(DownloadCode(ctx, h, std::uint8_t(code), r.CodeLength(), bytes), 0) << code;
    bytes[100] ^= 1;
    EXPECT_NE(DownloadCode(ctx, h, std::uint8_t(code), r.CodeLength(), bytes), 0) << code;
  }
  s.close(h);
}

TEST_F(RuntimeTest, DemoFlashTypesFollowTheDisksOfAProfile) {
  // Two flashes: one read on both lanes (page-pair mode: the flash type
  // holds half the addressed page), one of another ID; a generic disk adds none.
  writeProfile(R"({"disks": [
      {"flashId": "0xADDA1095", "bothLanes": true, "blocksPerChip": 512, "pagesPerBlock": 64, "sectorsPerPage": 8},
      {"flashId": "0xECD35195", "blocksPerChip": 256, "pagesPerBlock": 32, "sectorsPerPage": 4},
      {"flashId": "0xECD35195", "blocksPerChip": 128, "pagesPerBlock": 32, "sectorsPerPage": 4},
      {"kind": "generic", "sectors": 4096}]})");
  RuntimeOptions o;
  o.simProfile = dir / "profile.json";
  auto rt = make(o);
  ASSERT_TRUE(rt);
  const ConfigImage image = rt->imageSnapshot();
  ASSERT_EQ(image.flashTypeCount(), 2u);
  EXPECT_EQ(image.flashTypeRecord(0).MainFlashID(), 0xADDA1095u);
  EXPECT_EQ(image.flashTypeRecord(0).SectorPerPage(), 4);
  EXPECT_EQ(image.flashTypeRecord(1).MainFlashID(), 0xECD35195u);
  EXPECT_EQ(image.flashTypeRecord(1).BlockPerChip(), 256u);  // the first disk of the ID
  rt->refreshNow();
  EXPECT_EQ(rt->station().record(0).FlashTypeIndex, 0);
  EXPECT_EQ(rt->station().record(0).LargePage, 1);
  EXPECT_EQ(rt->station().record(1).FlashTypeIndex, 1);
}

TEST_F(RuntimeTest, ARealConfigDatWinsOverTheDemo) {
  ConfigImage mine;
  FlashTypeRecord r = mine.flashTypeRecord(0);
  r.setFlashName("Mine");
  r.setMainFlashID(0xECD35195);
  r.setPagePerBlock(32);
  mine.setFlag(I::kAutoSelect, true);
  ASSERT_TRUE(SaveSettingsFile(dir / "config.dat", mine));
  auto rt = sim(1);
  ASSERT_TRUE(rt);
  EXPECT_FALSE(rt->demoSettings());
  rt->refreshNow();
  EXPECT_EQ(rt->station().display(0).snapshot().text,
            "pcs = 1  Type = Mine  FlashID = 0xECD35195  Page = 32");
}

TEST_F(RuntimeTest, WithoutConfigDatTheHostStationStartsFromZero) {
  auto rt = make({});
  ASSERT_TRUE(rt);
  EXPECT_FALSE(rt->simulated());
  EXPECT_FALSE(rt->demoSettings());
  EXPECT_EQ(rt->imageSnapshot().flashTypeCount(), 0u);
}

TEST_F(RuntimeTest, SetUpErrorsSayWhy) {
  test::WriteBytes(dir / "plain-file", "x");
  test::WriteBytes(dir / "bad.json", "{\"disks\": [ {\"chips\": 9} ]}");
  struct Case {
    const char* name;
    std::filesystem::path home;
    std::optional<int> disks;
    std::filesystem::path profile;
    const char* reason;
  };
  const Case cases[] = {
      {"missing folder", dir / "nowhere", 1, {}, "does not exist"},
      {"file as folder", dir / "plain-file", 1, {}, "not a folder"},
      {"missing profile", dir.path(), {}, dir / "none.json", "cannot read"},
      {"bad profile", dir.path(), {}, dir / "bad.json", "chips"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RuntimeOptions o;
    o.home = c.home;
    o.simDisks = c.disks;
    o.simProfile = c.profile;
    std::string error;
    EXPECT_FALSE(StationRuntime::Create(o, op, error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST_F(RuntimeTest, ThePortMapInTheIniFileSurvivesARestart) {
  {
    auto rt = sim(4);
    ASSERT_TRUE(rt);
    rt->refreshNow();
  }
  // Next start: only the disk in hub socket 3 is there. It keeps slot 2.
  writeProfile(R"({"disks": [{"blocksPerChip": 256, "pagesPerBlock": 32}],
                   "usb": [{"bus": 1, "ports": [{"hub": ["empty", "empty", {"disk": 0}, "empty"]}]}]})");
  RuntimeOptions o;
  o.simProfile = dir / "profile.json";
  auto rt = make(o);
  ASSERT_TRUE(rt);
  rt->refreshNow();
  EXPECT_EQ(rt->station().record(2).Present.load(), 1);
  EXPECT_EQ(rt->station().record(2).PortKey, "Port-1-1.3");
  EXPECT_EQ(rt->station().record(0).Present.load(), 0);
  IniFile ini(dir / kStationIniName);
  EXPECT_EQ(ini.ReadInteger("Ports", "Port-1-1.3", -1), 2);
  EXPECT_EQ(ini.ReadSection("Ports").size(), 4u);
}

class SerialCounterTest : public RuntimeTest {
 protected:
  // The demo settings in the Inc mode, counter at `counter`, saved as config.dat.
  void writeConfig(std::int32_t counter) {
    FillDemoSettings(saved, {{0xECD35195, false, 256, 32, 4}});
    saved.setU8(I::kSerialMode, 2);
    saved.setText(I::kSerialNumber, I::kSerialNumberWidth, "ABC");
    saved.SetSerialStartValue(counter);
    ASSERT_TRUE(SaveSettingsFile(dir / "config.dat", saved));
  }
  ConfigImage onDisk() {
    ConfigImage image;
    LoadSettingsFile(dir / "config.dat", image);
    return image;
  }
  void produce(StationRuntime& rt) {
    rt.refreshNow();
    rt.station().StartAll();
    rt.station().WaitForIdle();
  }
  ConfigImage saved;
};

TEST_F(SerialCounterTest, EachStartAdvancesTheCounterInConfigDatAtOnceAndNothingElse) {
  writeConfig(41);
  auto rt = sim(2);
  ASSERT_TRUE(rt);
  {
    // An unsaved edit: the counter's write must not carry it into the file.
    auto lock = rt->settingsLock();
    rt->station().config().setText(I::kProductInfo, I::kProductInfoWidth, "Unsaved edit");
  }
  produce(*rt);
  EXPECT_EQ(rt->station().record(0).SerialText, "ABC000042");
  EXPECT_EQ(rt->station().record(1).SerialText, "ABC000043");
  const ConfigImage file = onDisk();
  EXPECT_EQ(file.SerialStartValue(), 43);
  ConfigImage expected = saved;
  expected.SetSerialStartValue(43);
  // Identification's choice (bytes 0 and 5) was already the saved one.
  EXPECT_TRUE(std::equal(file.bytes().begin(), file.bytes().end(), expected.bytes().begin()));
}

TEST_F(SerialCounterTest, ACounterThatCannotBeStoredOrHasRunOutRefusesTheJob) {
  struct Case {
    const char* name;
    std::int32_t counter;
    bool breakFile;
    const char* text;
  };
  const Case cases[] = {
      {"file replaced by a folder", 41, true, "The serial counter could not be saved"},
      {"numbers used up", 999999, false, "Serial numbers are used up"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir / "config.dat");
    writeConfig(c.counter);
    auto rt = sim(1);
    ASSERT_TRUE(rt);
    if (c.breakFile) {
      std::filesystem::remove(dir / "config.dat");
      std::filesystem::create_directory(dir / "config.dat");
    }
    produce(*rt);
    const PortView v = rt->station().display(0).snapshot();
    EXPECT_EQ(v.colour, BarColour::Red);
    EXPECT_NE(v.text.find(c.text), std::string::npos) << v.text;
    EXPECT_EQ(rt->imageSnapshot().SerialStartValue(), c.counter);
    EXPECT_FALSE(rt->station().busy(0));
    rt.reset();
    if (c.breakFile)
      std::filesystem::remove_all(dir / "config.dat");
    else
      EXPECT_EQ(onDisk().SerialStartValue(), c.counter);
  }
}

TEST_F(RuntimeTest, SettingsPublishIntoTheStationsLiveOptions) {
  ConfigImage image;
  image.setFlag(I::kNoVerify, true);
  image.setU8(I::kLevelCount, 6);
  image.setU8(I::kScanCount, 3);
  ASSERT_TRUE(SaveSettingsFile(dir / "config.dat", image));
  auto rt = sim(1);
  ASSERT_TRUE(rt);
  LiveOptions& live = rt->station().options();
  EXPECT_TRUE(live.noVerify.load());
  EXPECT_EQ(live.levelCount.load(), 6);
  EXPECT_EQ(live.scanCount.load(), 3);
  {
    auto lock = rt->settingsLock();
    rt->settings().ScanLevelChanged(4);
  }
  EXPECT_EQ(live.scanLevelIndex.load(), 4);
  EXPECT_TRUE(live.highFormatSelected());
}

TEST_F(RuntimeTest, SavedSettingsKeepIdentificationsChoice) {
  auto rt = sim(1);
  ASSERT_TRUE(rt);
  rt->refreshNow();
  std::string error;
  ASSERT_TRUE(rt->saveSettings(error)) << error;
  EXPECT_FALSE(rt->demoSettings());
  ConfigImage file;
  ASSERT_EQ(LoadSettingsFile(dir / "config.dat", file).status, LoadStatus::Loaded);
  EXPECT_EQ(file.SelectedFlashType(), 0);
  EXPECT_EQ(file.FlashCount(), 1);
  EXPECT_EQ(file.flashTypeCount(), 1u);
}

TEST_F(RuntimeTest, TheLocaleChoosesTheMessagesAndTheLanguageFile) {
  RuntimeOptions o;
  o.simDisks = 1;
  o.localeId = kLocaleChinesePrc;
  auto rt = make(o);
  ASSERT_TRUE(rt);
  EXPECT_EQ(rt->language(), Language::SimplifiedChinese);
  EXPECT_EQ(rt->languageStart().path.filename(), "ChineseSimplified.lng");
  rt->refreshNow();
  const std::string text = rt->station().display(0).snapshot().text;
  EXPECT_EQ(text.find("pcs"), std::string::npos) << text;
  EXPECT_NE(text.find("FlashID = 0xECD35195"), std::string::npos) << text;
}

TEST_F(RuntimeTest, HotplugRefreshesByItselfAndSeesAnUnplug) {
  auto rt = sim(3);
  ASSERT_TRUE(rt);
  rt->startHotplug();
  Station& st = rt->station();
  ASSERT_TRUE(WaitFor([&] { return st.record(2).Present.load() == 1; }, 2000ms));
  rt->simulator()->unplug(1);
  EXPECT_TRUE(WaitFor([&] { return st.record(1).Present.load() == 0; }, 1000ms));
  EXPECT_EQ(st.record(0).Present.load(), 1);
  rt->simulator()->plug(1);
  // Discovery writes the record under the control lock; so does the reader.
  EXPECT_TRUE(WaitFor(
      [&] {
        auto lock = rt->settingsLock();
        return st.record(1).Present.load() == 1 && st.record(1).FlashTypeIndex == 0;
      },
      2000ms));
  rt->shutdown();
}

// Identification writes the flash-type choice from the enumeration thread
// while the front end reads and saves the settings: one lock keeps them
// apart (ThreadSanitizer checks this test).
TEST_F(RuntimeTest, RefreshesAndSettingsWorkOnTheImageTogether) {
  auto rt = sim(4);
  ASSERT_TRUE(rt);
  rt->startHotplug();
  std::atomic<bool> done{false};
  std::thread plugger([&] {
    for (int i = 0; i < 20 && !done; ++i) {
      rt->simulator()->unplug(i % 4);
      std::this_thread::sleep_for(10ms);
      rt->simulator()->plug(i % 4);
      rt->requestRefresh();
    }
  });
  std::string error;
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(rt->saveSettings(error)) << error;
    EXPECT_EQ(rt->imageSnapshot().flashTypeCount(), 1u);
    rt->station().StartAll();
  }
  done = true;
  plugger.join();
  rt->shutdown();
}

}  // namespace
}  // namespace kvx
