#include "engine/report/job_summary.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace kvx {
namespace {

std::vector<JobSummary> TwoJobs() {
  JobSummary a;
  a.slot = 0;
  a.portKey = "Port-1-1.2";
  a.devicePath = "sim:0";
  a.colour = "blue";
  a.text = "Finished. Bad Pages 3  Size: 503 (Fixed: 500)MB    0:0:9       BIN-1";
  a.badPages = 3;
  a.diskMiB = 503;
  a.fixedMiB = 500;
  a.bin = 1;
  a.serial = "AB0001";
  a.elapsedSeconds = 9;
  JobSummary b = a;
  b.slot = 7;
  b.result = 33295;
  b.colour = "red";
  b.text = "a \"quoted\", text";
  b.failure = "Copy error";
  return {a, b};
}

TEST(JobSummary, JsonHasOneObjectPerJob) {
  const auto json = nlohmann::json::parse(JobsToJson(TwoJobs()));
  ASSERT_TRUE(json.is_array());
  ASSERT_EQ(json.size(), 2u);
  EXPECT_EQ(json[0]["port_key"], "Port-1-1.2");
  EXPECT_EQ(json[0]["result"], 0);
  EXPECT_EQ(json[1]["result"], 33295);
  EXPECT_EQ(json[1]["final_text"], "a \"quoted\", text");
  EXPECT_EQ(json[0]["fixed_mib"], 500);
  EXPECT_EQ(json[0]["failure"], "");
  EXPECT_EQ(json[1]["failure"], "Copy error");
}

TEST(JobSummary, JsonSurvivesBytesThatAreNoUtf8) {
  auto jobs = TwoJobs();
  jobs[0].serial = std::string("\xff\xfe", 2);
  EXPECT_NO_THROW(nlohmann::json::parse(JobsToJson(jobs)));
}

TEST(JobSummary, ProductionLogHasOneHeaderAndARowPerJob) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("kvx-log-" + std::to_string(getpid()) + ".csv");
  std::filesystem::remove(path);
  ASSERT_EQ(AppendProductionLog(path, "2026-12-11T02:00:00", "/srv/station", TwoJobs()), "");
  ASSERT_EQ(AppendProductionLog(path, "2026-12-11T02:05:00", "/srv/station", TwoJobs()), "");
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], kProductionLogHeader);
  EXPECT_EQ(lines[2].rfind("2026-12-11T02:00:00,/srv/station,7,Port-1-1.2,sim:0,33295,red,", 0),
            0u);
  EXPECT_NE(lines[2].find(",\"a \"\"quoted\"\", text\","), std::string::npos);
  EXPECT_EQ(lines[3].rfind("2026-12-11T02:05:00,", 0), 0u);
  std::filesystem::remove(path);
  EXPECT_NE(AppendProductionLog("/nonexistent/dir/log.csv", "t", "s", TwoJobs()), "");
}

}  // namespace
}  // namespace kvx
