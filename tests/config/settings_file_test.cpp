#include "config/settings_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "config/config_image.h"
#include "config_test_support.h"

namespace kvx {
namespace {

using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

std::string ImageBytes(const ConfigImage& image) {
  return std::string(image.bytes().begin(), image.bytes().end());
}

ConfigImage Patterned(std::uint8_t seed) {
  ConfigImage image;
  auto b = image.bytes();
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = std::uint8_t(i * 31 + seed);
  return image;
}

TEST(ConfigSettingsFile, LoadFillsTheImageByTheFileLength) {
  TempDir dir;
  const auto path = dir / "config.dat";
  const ConfigImage full = Patterned(7);
  const std::string bytes = ImageBytes(full);

  struct Case {
    const char* name;
    std::string content;  // nullopt-like: "<missing>" means no file
    LoadStatus status;
    std::size_t filled;  // leading image bytes that come from the file
  };
  const Case cases[] = {
      {"missing", "<missing>", LoadStatus::Missing, 0},
      {"empty", "", LoadStatus::Short, 0},
      {"short", bytes.substr(0, 1000), LoadStatus::Short, 1000},
      {"exact", bytes, LoadStatus::Loaded, ConfigImage::kSize},
      {"long", bytes + "trailing bytes", LoadStatus::Long, ConfigImage::kSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path);
    if (std::string(c.content) != "<missing>") WriteBytes(path, c.content);
    ConfigImage image = Patterned(99);  // stale content must not survive
    EXPECT_EQ(LoadSettingsFile(path, image).status, c.status);
    const std::string got = ImageBytes(image);
    EXPECT_EQ(got.substr(0, c.filled), bytes.substr(0, c.filled));
    EXPECT_EQ(got.substr(c.filled), std::string(ConfigImage::kSize - c.filled, '\0'));
  }
}

TEST(ConfigSettingsFile, SaveWritesTheImageAndKeepsBytesBeyondIt) {
  TempDir dir;
  const auto path = dir / "config.dat";
  WriteBytes(path, ImageBytes(Patterned(1)) + "tail kept");
  const ConfigImage image = Patterned(2);
  ASSERT_TRUE(SaveSettingsFile(path, image));
  EXPECT_EQ(ReadBytes(path), ImageBytes(image) + "tail kept");

  // A fresh file is exactly one image long; nothing else is left in the folder.
  std::filesystem::remove(path);
  ASSERT_TRUE(SaveSettingsFile(path, image));
  EXPECT_EQ(ReadBytes(path), ImageBytes(image));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(ConfigSettingsFile, AFailedSaveIsReportedAndLeavesTheOldFile) {
  TempDir dir;
  const auto path = dir / "config.dat";
  const ConfigImage old = Patterned(3);
  ASSERT_TRUE(SaveSettingsFile(path, old));

  // The disk fills up during the write: a file-size limit makes write() fail
  // (also for root, unlike folder permissions).
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const FileResult r = SaveSettingsFile(path, Patterned(4));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(r);
  EXPECT_EQ(r.error, std::errc::file_too_large);
  EXPECT_EQ(r.step, "write");
  EXPECT_FALSE(r.describe().empty());
  EXPECT_EQ(ReadBytes(path), ImageBytes(old));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
      << "no temporary file left";

  // Folders that do not exist, or are files.
  WriteBytes(dir / "afile", "x");
  for (const char* bad : {"missing/config.dat", "afile/config.dat"}) {
    const FileResult e = SaveSettingsFile(dir / bad, old);
    EXPECT_FALSE(e) << bad;
    EXPECT_FALSE(e.describe().empty()) << bad;
  }
}

TEST(ConfigSettingsFile, AFileThatCouldNotBeReadIsNotOverwrittenWithZeros) {
  TempDir dir;
  // A folder where the file should be cannot be read as settings.
  std::filesystem::create_directory(dir / "config.dat");
  SettingsStore store(dir / "config.dat");
  ConfigImage image;
  EXPECT_EQ(store.Load(image).status, LoadStatus::Unreadable);
  const FileResult r = store.Save(image);
  EXPECT_FALSE(r);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "config.dat"));

  SettingsStore fresh(dir / "other.dat");
  EXPECT_EQ(fresh.Load(image).status, LoadStatus::Missing);
  EXPECT_TRUE(fresh.Save(image));
}

// A child process saves two different images in turn until it is killed; the
// file must then be exactly one of them, tail included.
TEST(ConfigSettingsFile, KillDuringSaveLeavesTheOldOrTheNewFile) {
  TempDir dir;
  const auto path = dir / "config.dat";
  const ConfigImage a = Patterned(10), b = Patterned(20);
  const std::string tail = "bytes beyond the image";
  WriteBytes(path, ImageBytes(a) + tail);
  const std::string expectA = ImageBytes(a) + tail, expectB = ImageBytes(b) + tail;

  for (int round = 0; round < 4; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0;; ++i)
        if (!SaveSettingsFile(path, i % 2 ? a : b)) ::_exit(3);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(120 + 70 * round));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saving child stopped by itself: a save failed";
    const std::string now = ReadBytes(path);
    EXPECT_TRUE(now == expectA || now == expectB) << "torn file of " << now.size() << " bytes";
    ConfigImage loaded;
    EXPECT_EQ(LoadSettingsFile(path, loaded).status, LoadStatus::Long);
  }
}

}  // namespace
}  // namespace kvx
