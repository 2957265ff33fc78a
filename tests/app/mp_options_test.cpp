#include "app/mp/mp_options.h"

#include <gtest/gtest.h>

#include "app/mp/terminal_progress.h"

namespace kvx::mp {
namespace {

TEST(MpOptions, ParsesCommandsAndOptions) {
  auto r = ParseCommandLine({"--home", "/srv/st", "--sim", "8", "produce", "--json",
                             "--scan-level", "2", "--report", "log.csv"});
  ASSERT_TRUE(r.options) << r.message;
  EXPECT_EQ(r.options->home, "/srv/st");
  EXPECT_EQ(r.options->simDisks, 8);
  EXPECT_EQ(r.options->command, Command::Produce);
  EXPECT_TRUE(r.options->json);
  EXPECT_EQ(r.options->scanLevel, 2);
  EXPECT_EQ(r.options->reportFile, "log.csv");

  r = ParseCommandLine({"produce", "--sim", "8"});
  ASSERT_TRUE(r.options) << r.message;
  EXPECT_EQ(r.options->simDisks, 8) << "station options may follow the command";
  EXPECT_EQ(r.options->command, Command::Produce);

  r = ParseCommandLine({"config", "set", "VendorInfo", "ACME"});
  ASSERT_TRUE(r.options);
  EXPECT_EQ(r.options->command, Command::ConfigSet);
  EXPECT_EQ(r.options->key, "VendorInfo");
  EXPECT_EQ(r.options->value, "ACME");
  EXPECT_FALSE(r.options->simDisks);

  r = ParseCommandLine({"code-types", "load", "3", "fw.img"});
  ASSERT_TRUE(r.options);
  EXPECT_EQ(r.options->index, 3);
  EXPECT_EQ(r.options->file, "fw.img");
}

TEST(MpOptions, BadArgumentsExitTwoWithOneLine) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"--sim", "0", "ports"},
      {"--sim", "65", "ports"},
      {"--sim", "x", "ports"},
      {"--sim", "2", "--sim-profile", "p.json", "ports"},
      {"produce", "--scan-level", "-1"},
      {"produce", "--export-dir", "out"},
      {"config"},
      {"code-types", "load", "9", "fw.img"},
  };
  for (const auto& args : bad) {
    const auto r = ParseCommandLine(args);
    EXPECT_FALSE(r.options);
    EXPECT_EQ(r.exitCode, kExitUsage);
    EXPECT_EQ(r.message.find('\n'), std::string::npos) << r.message;
    EXPECT_EQ(r.message.rfind("kvx-mp: ", 0), 0u) << r.message;
  }
  const auto help = ParseCommandLine({"--help"});
  EXPECT_FALSE(help.options);
  EXPECT_EQ(help.exitCode, kExitOk);
  EXPECT_NE(help.message.find("produce"), std::string::npos);
}

TEST(TerminalProgress, LinesShowThePercentage) {
  PortLine l;
  l.slot = 11;
  l.key = "Port-1-1.3";
  l.view.text = "Scanning ...$p%";
  l.view.percent = 45;
  EXPECT_EQ(RenderPortLine(l), "Port-12  Port-1-1.3      Scanning ...45%");
}

}  // namespace
}  // namespace kvx::mp
