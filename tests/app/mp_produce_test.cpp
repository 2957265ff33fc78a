// The terminal station's produce and config commands over a runtime with
// sequences of the test's own: the command's part (start, progress, stop,
// final lines, exit status, saved settings) without the real job.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "app/mp/mp_run.h"
#include "config/config_test_support.h"

namespace kvx::mp {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

// Produces a 100 MiB disk with 3 bad pages; ports in `failPorts` fail.
class ScriptedSequence : public ProductionSequence {
 public:
  explicit ScriptedSequence(std::set<int> failPorts) : failPorts_(std::move(failPorts)) {}
  std::int32_t RunProduction(PortJob& job) override {
    job.rec.BadPages = 3;
    job.rec.DiskSectors = 100u << 11;
    job.rec.FixedSectors = 100u << 11;
    if (!failPorts_.count(job.port)) return 0;
    job.display.setBar(" Scan failed on chip 0", BarColour::Red, 0);  // as a failing step does
    return msg::kScanError;
  }
  std::int32_t RunHighFormatOnly(PortJob& job) override { return RunProduction(job); }

 private:
  std::set<int> failPorts_;
};

// Runs until told to stop, then reports the stop as the real loops do.
class HoldingSequence : public ProductionSequence {
 public:
  explicit HoldingSequence(std::shared_ptr<std::atomic<int>> running) : running_(std::move(running)) {}
  std::int32_t RunProduction(PortJob& job) override {
    job.display.setText("working $p%");
    ++*running_;
    while (!job.stopRequested()) std::this_thread::sleep_for(2ms);
    job.showCancelled();
    return msg::kCancel;
  }
  std::int32_t RunHighFormatOnly(PortJob& job) override { return RunProduction(job); }

 private:
  std::shared_ptr<std::atomic<int>> running_;
};

// A stream the test reads back.
class Capture {
 public:
  Capture() : f_(std::tmpfile()) {}
  ~Capture() { std::fclose(f_); }
  std::FILE* file() { return f_; }
  std::string text() {
    std::fflush(f_);
    std::rewind(f_);
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f_)) > 0) s.append(buf, n);
    return s;
  }

 private:
  std::FILE* f_;
};

int CountMatches(const std::string& text, const std::string& pattern) {
  const std::regex re(pattern);
  return int(
      std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

class ProduceCommandTest : public ::testing::Test {
 protected:
  template <class Seq, class... A>
  void use(A... args) {
    context.runtime.makeSequence = [=](ProductionEnvironment) {
      return std::make_unique<Seq>(args...);
    };
  }
  MpOptions options(std::vector<std::string> args) {
    std::vector<std::string> all = {"--home", dir.path().string()};
    all.insert(all.end(), args.begin(), args.end());
    const ParseResult r = ParseCommandLine(all);
    EXPECT_TRUE(r.options) << r.message;
    return r.options.value_or(MpOptions{});
  }
  int run(std::vector<std::string> args) {
    context.out = out.file();
    context.err = err.file();
    context.runtime.localeId = kLocaleEnglishUs;
    context.plainPeriodMs = 100;
    return RunCommand(options(std::move(args)), context);
  }

  TempDir dir;
  Capture out, err;
  RunContext context;
};

const char* kBlueFinished =
    R"((^|\n)Port-\d+ +Port-1-1\.\d +sim:\d+ +blue +Finished\. Bad Pages 3  Size: 100 \(Fixed: 100\)MB)";

TEST_F(ProduceCommandTest, EveryStartedPortEndsWithItsFinalLineAndExitZero) {
  use<ScriptedSequence>(std::set<int>{});
  EXPECT_EQ(run({"--sim", "5", "produce"}), kExitOk) << err.text();
  EXPECT_EQ(CountMatches(out.text(), kBlueFinished), 5) << out.text();
}

TEST_F(ProduceCommandTest, AFailedPortIsRedAndTheExitStatusOne) {
  use<ScriptedSequence>(std::set<int>{2});
  EXPECT_EQ(run({"--sim", "4", "produce", "--json"}), kExitJobFailed);
  const auto json = nlohmann::json::parse(out.text());
  ASSERT_EQ(json.size(), 4u);
  for (const auto& j : json) {
    const bool failed = j["slot"] == 2;
    EXPECT_EQ(j["result"], failed ? int(msg::kScanError) : 0) << j;
    EXPECT_EQ(j["colour"], failed ? "red" : "blue") << j;
    EXPECT_EQ(j["disk_mib"], 100);
    EXPECT_EQ(j["failure"], failed ? "Scan failed on chip 0" : "") << j;
  }
  EXPECT_NE(err.text().find("Port-1-1.3: Scan failed on chip 0"), std::string::npos) << err.text();
}

TEST_F(ProduceCommandTest, CtrlCStopsEveryJobLikeStopAllAndExits130) {
  auto running = std::make_shared<std::atomic<int>>(0);
  use<HoldingSequence>(running);
  std::atomic<int> interrupt{0};
  context.interrupt = &interrupt;
  std::chrono::steady_clock::time_point sent;
  std::thread operatorHand([&] {
    // Ctrl+C once all three jobs work and the table has shown them.
    while (running->load() < 3) std::this_thread::sleep_for(2ms);
    std::this_thread::sleep_for(300ms);
    sent = std::chrono::steady_clock::now();
    interrupt = 2;
  });
  const int status = run({"--sim", "3", "produce"});
  const auto took = std::chrono::steady_clock::now() - sent;
  operatorHand.join();
  EXPECT_EQ(status, kExitInterrupted);
  EXPECT_LT(took, 2s);
  const std::string text = out.text();
  // While running the ports showed their work; at the end every one is red.
  EXPECT_EQ(CountMatches(text, R"(\[blue\] Port-\d+ +Port-1-1\.\d +working)"), 3) << text;
  EXPECT_EQ(CountMatches(text, R"((^|\n)Port-\d+ +Port-1-1\.\d +sim:\d+ +red +Finished)"), 3) << text;
}

TEST_F(ProduceCommandTest, NothingToStartIsNotASuccess) {
  // A station whose settings know no flash type identifies nothing.
  ASSERT_TRUE(SaveSettingsFile(dir / "config.dat", ConfigImage()));
  use<ScriptedSequence>(std::set<int>{});
  EXPECT_EQ(run({"--sim", "2", "produce"}), kExitJobFailed);
  EXPECT_NE(err.text().find("no port could be started"), std::string::npos) << err.text();
}

TEST_F(ProduceCommandTest, AScanLevelBeyondTheListIsAUsageError) {
  use<ScriptedSequence>(std::set<int>{});
  EXPECT_EQ(run({"--sim", "1", "produce", "--scan-level", "4"}), kExitUsage);
  EXPECT_NE(err.text().find("scan level 4 is not offered"), std::string::npos) << err.text();
  EXPECT_EQ(out.text(), "");
}

TEST_F(ProduceCommandTest, ExportWritesEachProducedDisksRawNand) {
  use<ScriptedSequence>(std::set<int>{});
  EXPECT_EQ(run({"--sim", "2", "produce", "--export-dir", (dir / "out").string()}), kExitOk);
  EXPECT_TRUE(std::filesystem::is_regular_file(dir / "out" / "disk0.nand"));
  EXPECT_TRUE(std::filesystem::is_regular_file(dir / "out" / "disk1.nand"));
}

// --- config ---

class ConfigCommandTest : public ProduceCommandTest {
 protected:
  std::string get(const std::string& key) {
    Capture o;
    context.out = o.file();
    context.err = err.file();
    const int status = RunCommand(options({"config", "get", key}), context);
    EXPECT_EQ(status, kExitOk) << err.text();
    std::string t = o.text();
    if (!t.empty() && t.back() == '\n') t.pop_back();
    return t;
  }
  ConfigImage file() {
    ConfigImage image;
    LoadSettingsFile(dir / "config.dat", image);
    return image;
  }
};

TEST_F(ConfigCommandTest, SetUsesThePagesConversionsAndSaves) {
  struct Case {
    const char* key;
    const char* value;
    const char* shown;  // what get prints afterwards
    std::function<bool(const ConfigImage&)> stored;
  };
  using I = ConfigImage;
  const Case cases[] = {
      {"VendorInfo", "ABC", "ABC", [](const I& i) { return i.VendorInfo() == "ABC     "; }},
      {"ScanCount", "25", "20", [](const I& i) { return i.ScanCount() == 20; }},
      {"ScanCount", "0", "1", [](const I& i) { return i.ScanCount() == 1; }},
      {"Zone0FixSize", "8", "8", [](const I& i) { return i.Zone0FixSectors() == 16384; }},
      {"EccOpenBytes", "1A", "1A", [](const I& i) { return i.EccOpenBytes() == 26; }},
      {"DiskType_0", "CDROM", "2", [](const I& i) { return i.ZoneDiskType(0) == kDiskCdrom; }},
      {"SerialMode", "Inc", "2", [](const I& i) { return i.SerialMode() == 2; }},
      {"SerialStartValue", "500", "500", [](const I& i) { return i.SerialStartValue() == 500; }},
      {"LevelCount", "99", "80", [](const I& i) { return i.LevelCountRaw() == 80; }},
      {"ToBin3", "4000", "4000", [](const I& i) { return i.ToBin(2) == 4000.0f; }},
      {"Zone1Bar", "300", "300",
       [](const I& i) { return i.ZoneBarWidth(1) == 300 && i.ActiveZoneCount() == 1; }},
      {"Zone0Bar", "100", "100", [](const I& i) { return i.ActiveZoneCount() == 2; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    EXPECT_EQ(run({"config", "set", c.key, c.value}), kExitOk) << err.text();
    EXPECT_EQ(get(c.key), c.shown);
    EXPECT_TRUE(c.stored(file()));
  }
  EXPECT_EQ(get("ActiveZoneCount"), "2");
}

TEST_F(ConfigCommandTest, RefusedValuesChangeNothing) {
  EXPECT_EQ(run({"config", "set", "Zone0FixSize", "8"}), kExitOk);
  const std::string before = test::ReadBytes(dir / "config.dat");
  const std::pair<const char*, const char*> cases[] = {
      {"Zone0FixSize", "12x"},     {"VendorCode", "0x12345"}, {"VendorCode", "12"},
      {"VendorInfo", "NINE CHAR"}, {"LedStatus", "7"},        {"SerialStartValue", "-1"},
      {"FromBin1", "lots"},        {"NoSuchSetting", "1"},    {"ActiveZoneCount", "2"},
  };
  for (const auto& [key, value] : cases) {
    SCOPED_TRACE(key);
    EXPECT_EQ(run({"config", "set", key, value}), kExitUsage);
    EXPECT_EQ(test::ReadBytes(dir / "config.dat"), before);
  }
}

TEST_F(ConfigCommandTest, FlashTypesExportedFromOneStationImportIntoAnother) {
  // The simulated station's demo table, exported, then imported by a host station.
  ASSERT_EQ(run({"--sim", "1", "flash-types", "export", (dir / "types.json").string()}), kExitOk)
      << err.text();
  const auto json = nlohmann::json::parse(test::ReadBytes(dir / "types.json"));
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["mainFlashId"], "0xECD35195");

  TempDir other;
  MpOptions o = options({"flash-types", "import", (dir / "types.json").string()});
  o.home = other.path().string();
  Capture o2;
  context.out = o2.file();
  ASSERT_EQ(RunCommand(o, context), kExitOk) << err.text();
  ConfigImage imported;
  LoadSettingsFile(other / "config.dat", imported);
  ASSERT_EQ(imported.flashTypeCount(), 1u);
  const ConfigImage demo = [&] {
    RuntimeOptions ro;
    ro.home = dir.path();
    ro.simDisks = 1;
    std::string e;
    FixedAnswerOperator op(true);
    return StationRuntime::Create(ro, op, e)->imageSnapshot();
  }();
  EXPECT_TRUE(std::equal(imported.flashType(0).begin(), imported.flashType(0).end(),
                         demo.flashType(0).begin()));

  // A broken file changes nothing.
  test::WriteBytes(dir / "bad.json", R"([{"name": "X", "pagePerBlock": 70000}])");
  o.file = (dir / "bad.json").string();
  EXPECT_EQ(RunCommand(o, context), kExitUsage);
  LoadSettingsFile(other / "config.dat", imported);
  EXPECT_EQ(imported.flashTypeRecord(0).MainFlashID(), 0xECD35195u);
}

TEST_F(ConfigCommandTest, CodeTypeLoadNamesItAfterTheFileAndFixesTheChecksum) {
  std::string code(4096, '\0');
  for (std::size_t i = 0; i < code.size(); ++i) code[i] = char(i * 7);
  test::WriteBytes(dir / "scan.bin", code);
  ASSERT_EQ(run({"code-types", "load", "0", (dir / "scan.bin").string()}), kExitOk) << err.text();
  const ConfigImage image = file();
  ASSERT_EQ(image.codeTypeCount(), 1u);
  const ConstCodeTypeRecord r = image.codeTypeRecord(0);
  EXPECT_EQ(r.CodeName(), "scan");
  std::uint32_t x = 0;
  for (std::size_t w = 0; w + 1 < 8 * 128; ++w) x ^= GetLe32(r.CodeImage(), 4 * w);
  EXPECT_EQ(GetLe32(r.CodeImage(), 4 * (8 * 128 - 1)), x);
  EXPECT_EQ(run({"code-types", "load", "2", (dir / "scan.bin").string()}), kExitUsage);
}

}  // namespace
}  // namespace kvx::mp
