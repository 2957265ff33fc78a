// kvx-mp as a user runs it: the built executable, its exit status, its
// stdout and stderr. Output goes to files, so the station sees no terminal.
//
// The suite KvxMpProduceE2E checks what the main job must give on the
// simulated disks: blue "Finished" lines, results of 0, a failing disk in
// red while the others finish, Ctrl+C while jobs run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "config/config_test_support.h"

namespace kvx {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

struct Outcome {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

class KvxMp {
 public:
  explicit KvxMp(const TempDir& dir) : dir_(dir) {}

  // Starts kvx-mp with `args`; the environment gets LANG=C unless `lang` is set.
  pid_t spawn(const std::vector<std::string>& args, const std::string& lang = "C") {
    const std::string outPath = (dir_ / "stdout").string(), errPath = (dir_ / "stderr").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(o, 1);
      ::dup2(e, 2);
      ::setenv("LANG", lang.c_str(), 1);
      ::unsetenv("LC_ALL");
      ::unsetenv("LC_MESSAGES");
      std::vector<char*> argv{const_cast<char*>(KVX_MP_BINARY)};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(KVX_MP_BINARY, argv.data());
      ::_exit(127);
    }
    return pid;
  }
  Outcome wait(pid_t pid) {
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    Outcome r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    r.out = test::ReadBytes(dir_ / "stdout");
    r.err = test::ReadBytes(dir_ / "stderr");
    return r;
  }
  Outcome run(const std::vector<std::string>& args, const std::string& lang = "C") {
    return wait(spawn(args, lang));
  }
  std::string stdoutSoFar() { return test::ReadBytes(dir_ / "stdout"); }

 private:
  const TempDir& dir_;
};

int Count(const std::string& text, const std::string& pattern) {
  const std::regex re(pattern);
  return int(
      std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

class KvxMpE2E : public ::testing::Test {
 protected:
  std::vector<std::string> at(std::vector<std::string> args) {
    args.insert(args.begin(), {"--home", home.path().string()});
    return args;
  }
  TempDir home, scratch;
  KvxMp mp{scratch};
};

TEST_F(KvxMpE2E, BadInputEndsWithStatusTwoAndOneLineOfReason) {
  test::WriteBytes(home / "a-file", "x");
  test::WriteBytes(home / "broken.json", "{\"disks\": [");
  const std::string h = home.path().string();
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus", "ports"},
      {"--home", h},
      {"--home", h, "--sim", "0", "ports"},
      {"--home", h, "--sim", "2", "--sim-profile", "p.json", "ports"},
      {"--home", h, "--sim-profile", (home / "missing.json").string(), "ports"},
      {"--home", h, "--sim-profile", (home / "broken.json").string(), "ports"},
      {"--home", (home / "nowhere").string(), "--sim", "1", "ports"},
      {"--home", (home / "a-file").string(), "--sim", "1", "ports"},
      {"--home", h, "produce", "--export-dir", h},
      {"--home", h, "--sim", "1", "produce", "--scan-level", "7"},
      {"--home", h, "config", "get", "NoSuchSetting"},
      {"--home", h, "code-types", "load", "9", "x.bin"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    const Outcome r = mp.run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Count(r.err, "\n"), 1) << r.err;
    EXPECT_EQ(r.err.rfind("kvx-mp: ", 0), 0u) << r.err;
  }
}

TEST_F(KvxMpE2E, PortsListsEveryAttachedSlotWithKeyPathAndIdentification) {
  const Outcome r = mp.run(at({"--sim", "4", "ports"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Port-1   Port-1-1.1      sim:0       pcs = 1  Type = SIM ECD35195 256x32x4  FlashID = "
            "0xECD35195  Page = 32\n"
            "Port-2   Port-1-1.2      sim:1       pcs = 1  Type = SIM ECD35195 256x32x4  FlashID = "
            "0xECD35195  Page = 32\n"
            "Port-3   Port-1-1.3      sim:2       pcs = 1  Type = SIM ECD35195 256x32x4  FlashID = "
            "0xECD35195  Page = 32\n"
            "Port-4   Port-1-1.4      sim:3       pcs = 1  Type = SIM ECD35195 256x32x4  FlashID = "
            "0xECD35195  Page = 32\n");
  // The Simplified Chinese locale gives the Chinese texts.
  const Outcome zh = mp.run(at({"--sim", "1", "ports"}), "zh_CN.UTF-8");
  EXPECT_EQ(zh.status, 0);
  EXPECT_EQ(zh.out.find("pcs"), std::string::npos) << zh.out;
  EXPECT_NE(zh.out.find("FlashID = 0xECD35195"), std::string::npos) << zh.out;
}

TEST_F(KvxMpE2E, JsonHasOneObjectPerStartedPortWithEveryField) {
  const Outcome r = mp.run(at({"--sim", "3", "produce", "--json"}));
  const auto json = nlohmann::json::parse(r.out);  // stdout holds nothing else
  ASSERT_TRUE(json.is_array());
  ASSERT_EQ(json.size(), 3u);
  for (std::size_t i = 0; i < json.size(); ++i) {
    const auto& j = json[i];
    EXPECT_EQ(j["slot"], i);
    EXPECT_EQ(j["port_key"], "Port-1-1." + std::to_string(i + 1));
    EXPECT_EQ(j["device_path"], "sim:" + std::to_string(i));
    for (const char* key :
         {"result", "bad_pages", "disk_mib", "fixed_mib", "bin", "elapsed_seconds"})
      EXPECT_TRUE(j[key].is_number_integer()) << key;
    for (const char* key : {"colour", "final_text", "failure", "serial"})
      EXPECT_TRUE(j[key].is_string()) << key;
    EXPECT_EQ(j.size(), 13u);
  }
}

TEST_F(KvxMpE2E, AProductionLogWrittenByTwoRunsHasOneHeader) {
  const std::string log = (home / "production.csv").string();
  mp.run(at({"--sim", "2", "produce", "--report", log}));
  mp.run(at({"--sim", "3", "produce", "--report", log}));
  const std::string text = test::ReadBytes(log);
  EXPECT_EQ(Count(text, "(^|\n)timestamp,station,slot,"), 1) << text;
  EXPECT_EQ(Count(text, "\n"), 1 + 2 + 3) << text;
  EXPECT_EQ(Count(text, ",Port-1-1\\.1,sim:0,"), 2) << text;
}

TEST_F(KvxMpE2E, CtrlCWhileDisksAreIdentifiedExits130BeforeAnyJob) {
  // Commands of 30 ms make identification last about 200 ms a disk, the
  // refresh of eight disks well over a second.
  test::WriteBytes(home / "slow.json", R"({"latency": {"scale": 1, "commandUs": 30000},
                                           "disks": [{}, {}, {}, {}, {}, {}, {}, {}]})");
  const pid_t pid = mp.spawn(at({"--sim-profile", (home / "slow.json").string(), "produce"}));
  std::this_thread::sleep_for(500ms);
  const auto sent = std::chrono::steady_clock::now();
  ::kill(pid, SIGINT);
  const Outcome r = mp.wait(pid);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 1000ms);
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

// --- what the main job gives ---

class KvxMpProduceE2E : public KvxMpE2E {};

const char* kFinalBlue = R"((^|\n)Port-\d+ +Port-1-1\.\d +sim:\d+ +blue +Finished\.)";

TEST_F(KvxMpProduceE2E, TheMainJobEndsWithEightBlueFinishedLinesAndStatusZero) {
  const Outcome r = mp.run(at({"--sim", "8", "produce"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Count(r.out, kFinalBlue), 8) << r.out;
}

TEST_F(KvxMpProduceE2E, JsonOfTheMainJobHoldsEightResultsOfZero) {
  const Outcome r = mp.run(at({"--sim", "8", "produce", "--json"}));
  EXPECT_EQ(r.status, 0) << r.err;
  const auto json = nlohmann::json::parse(r.out);
  ASSERT_EQ(json.size(), 8u);
  for (const auto& j : json) {
    EXPECT_EQ(j["result"], 0) << j;
    EXPECT_EQ(j["colour"], "blue") << j;
    EXPECT_GT(j["disk_mib"], 0) << j;
  }
}

TEST_F(KvxMpProduceE2E, ExportWritesTheHostImageAndRawNandOfEveryProducedDisk) {
  const std::filesystem::path out = home / "export";
  const Outcome r = mp.run(at({"--sim", "2", "produce", "--export-dir", out.string()}));
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* name : {"disk0.img", "disk1.img", "disk0.nand", "disk1.nand"}) {
    std::error_code ec;
    EXPECT_GT(std::filesystem::file_size(out / name, ec), 0u) << name << " " << ec.message();
  }
}

TEST_F(KvxMpProduceE2E, ADiskThatFailsIsRedAndTheOthersFinish) {
  // Disk 1 has every block bad; disk 2 vanishes after a few hundred commands.
  std::string bad;
  for (int b = 0; b < 256; ++b) bad += (b ? "," : "") + std::to_string(b);
  test::WriteBytes(home / "faulty.json", R"({"disks": [
      {"blocksPerChip": 256, "pagesPerBlock": 32},
      {"blocksPerChip": 256, "pagesPerBlock": 32, "defects": {"factoryBadBlocks": [)" +
                                             bad + R"(]}},
      {"blocksPerChip": 256, "pagesPerBlock": 32, "faults": {"unplugAfter": 300}},
      {"blocksPerChip": 256, "pagesPerBlock": 32}]})");
  const Outcome r = mp.run(at({"--sim-profile", (home / "faulty.json").string(), "produce"}));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(Count(r.out, kFinalBlue), 2) << r.out;
  EXPECT_EQ(Count(r.out, R"((^|\n)Port-[23] +Port-1-1\.[23] +sim:[12] +red +Finished\.)"), 2)
      << r.out;
}

TEST_F(KvxMpProduceE2E, CtrlCDuringProductionStopsEveryJobAndExits130) {
  // The demo's disks at full latency: the jobs run long enough to be stopped.
  std::string disks;
  for (int i = 0; i < 8; ++i)
    disks += std::string(i ? "," : "") + R"({"blocksPerChip": 256, "pagesPerBlock": 32})";
  test::WriteBytes(home / "slow.json",
                   R"({"latency": {"scale": 1, "commandUs": 125, "readPageUs": 50,
      "programPageUs": 300, "eraseBlockUs": 2000, "perKiBUs": 25}, "disks": [)" +
                       disks + "]}");
  const pid_t pid = mp.spawn(at({"--sim-profile", (home / "slow.json").string(), "produce"}));
  // Wait until the jobs show lines of their own (not the identification's).
  for (int i = 0;
       i < 100 && Count(mp.stdoutSoFar(), R"(\[blue\] Port-\d+ +Port-\S+ +(?!pcs = ))") == 0; ++i)
    std::this_thread::sleep_for(50ms);
  const auto sent = std::chrono::steady_clock::now();
  ::kill(pid, SIGINT);
  const Outcome r = mp.wait(pid);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 2500ms);
  EXPECT_EQ(r.status, 130) << r.err;
  // The purple "Cancel" lasts only until the worker writes the red result
  // line; the sampled output need not catch it, the final lines must be red.
  EXPECT_EQ(Count(r.out, R"((^|\n)Port-\d+ +Port-1-1\.\d +sim:\d+ +red +Finished\.)"), 8) << r.out;
}

}  // namespace
}  // namespace kvx
