#include "engine/fat/file_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "engine/fat/fat_volume.h"
#include "engine/station.h"

namespace kvx {
namespace {
namespace fs = std::filesystem;

// A logical disk answering READ(10)/WRITE(10); can corrupt or fail.
class LogicalDisk : public DeviceAccess {
 public:
  std::map<std::uint32_t, std::vector<std::uint8_t>> sectors;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> writes;  // (lba, sectors)
  int corruptReads = 0;   // reads that come back with one byte flipped
  ScsiResult failWrites = 0;

  DeviceHandle open(const std::string&) override { return 1; }
  void close(DeviceHandle) override {}
  ScsiResult send(DataDirection, DeviceHandle, const Cdb& c, void* buffer, std::uint32_t length,
                  std::uint8_t, std::uint32_t) override {
    const std::uint32_t lba = std::uint32_t(c[2] << 24 | c[3] << 16 | c[4] << 8 | c[5]);
    auto* data = static_cast<std::uint8_t*>(buffer);
    if (c[0] == op::kWrite10) {
      if (failWrites) return failWrites;
      writes.push_back({lba, length / 512});
      for (std::uint32_t k = 0; k < length / 512; ++k)
        sectors[lba + k].assign(data + k * 512, data + k * 512 + 512);
      return 0;
    }
    for (std::uint32_t k = 0; k < length / 512; ++k) {
      auto it = sectors.find(lba + k);
      if (it == sectors.end())
        std::fill(data + k * 512, data + k * 512 + 512, 0);
      else
        std::copy(it->second.begin(), it->second.end(), data + k * 512);
    }
    if (corruptReads > 0) {
      --corruptReads;
      data[length / 2] ^= 0x40;
    }
    return 0;
  }
};

class NoSequence : public ProductionSequence {
  std::int32_t RunProduction(PortJob&) override { return 0; }
  std::int32_t RunHighFormatOnly(PortJob&) override { return 0; }
};

class FileWriterTest : public ::testing::Test {
 protected:
  FileWriterTest() {
    rec().hDevice = 1;
    rec().Running = 1;
    tmp = fs::temp_directory_path() / ("kvx-fw-" + std::to_string(getpid()));
    fs::remove_all(tmp);
    fs::create_directories(tmp);
  }
  ~FileWriterTest() override { fs::remove_all(tmp); }
  FORMATINFO& rec() { return station.record(0); }
  PortJob job() {
    return PortJob{0, rec(), station.display(0), station.commands(0), station.badPageTree(),
                   station.messages(), station.options(), station.config()};
  }
  void setText(std::size_t at, const std::string& text) {
    std::copy(text.begin(), text.end(), rec().Settings.begin() + std::ptrdiff_t(at));
  }

  LogicalDisk disk;
  NoSequence sequence;
  FixedAnswerOperator op{true};
  Station station{disk, sequence, op, Language::English};
  fs::path tmp;
};

TEST_F(FileWriterTest, ZonesLandAtTheirSectorsAndTheRecordBehindThem) {
  rec().Zone0Sectors = 8191;
  rec().Zone2Sectors = 20479;
  rec().FixedSectors = rec().DiskSectors = 8191 + 20479;
  rec().SerialText = "0123456789ABCDEF";
  setText(116, "ZONE0");
  setText(684, "ZONE2");
  FileSystemInputs in;
  in.activeZoneCount = 2;
  in.privatePassword = "secret";
  in.privateRecordBytes = {1, 2, 3, 4};
  auto j = job();
  ASSERT_EQ(WriteFileSystems(j, in), 0);
  fat::TFAT z0({8191, 0, "ZONE0", {}}), z2({20479, 0, "ZONE2", {}});
  ASSERT_EQ(z0.Build(), fat::FatError::kNone);
  ASSERT_EQ(z2.Build(), fat::FatError::kNone);
  // Zone 0's image at 0, zone 1 skipped, zone 2's at 8191, the record after it.
  EXPECT_EQ(disk.writes.front().first, 0u);
  std::vector<std::uint8_t> expected(512);
  z2.ReadSectors(32, expected);
  EXPECT_EQ(disk.sectors.at(8191 + 32), expected) << "zone 2's boot sector";
  z0.ReadSectors(32, expected);
  EXPECT_EQ(disk.sectors.at(32), expected);
  const auto record = PrivateZoneRecord(in, rec().SerialText);
  EXPECT_EQ(disk.writes.back(), (std::pair<std::uint32_t, std::uint32_t>{8191 + 20479, 2}));
  EXPECT_TRUE(std::equal(record.begin(), record.begin() + 512, disk.sectors.at(8191 + 20479).begin()));
  EXPECT_EQ(rec().FixedSectors, 8191u + 20479 - z0.imageSectors() - z2.imageSectors());
  EXPECT_EQ(rec().DiskSectors, rec().FixedSectors);
}

TEST_F(FileWriterTest, PrivateRecordScramble) {
  FileSystemInputs in;
  in.privatePassword = "ABCDEFGHIJKLMNOP";
  in.privateRecordBytes = {9, 8, 7, 6};
  in.scramblePrivateRecord = false;
  const auto plain = PrivateZoneRecord(in, "SERIAL");
  EXPECT_EQ(plain[15], 'P');
  EXPECT_EQ(plain[16], 0) << "the password's NUL";
  EXPECT_EQ(plain[67], 9);
  EXPECT_EQ(plain[70], 6);
  in.scramblePrivateRecord = true;
  const auto s = PrivateZoneRecord(in, "SERIAL");
  EXPECT_EQ(s[0], 'A' ^ 'S');
  EXPECT_EQ(s[5], 'F' ^ 'L');
  EXPECT_EQ(s[6], 'G') << "past the serial text the key is 0";
  EXPECT_EQ(s[16], 0) << "byte 16 is never scrambled";
  EXPECT_EQ(s[17], 0 ^ 'S');
  EXPECT_EQ(s[67], 9) << "bytes past 40 are not scrambled";
}

TEST_F(FileWriterTest, CdromZoneWritesTheImageUnchangedAndSubtractsNothing) {
  const auto iso = tmp / "disk.iso";
  std::vector<std::uint8_t> content(3 * 65536 + 1000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = std::uint8_t(i * 13);
  std::ofstream(iso, std::ios::binary).write(reinterpret_cast<char*>(content.data()),
                                             std::streamsize(content.size()));
  rec().Settings[115] = 0x85;
  setText(131, iso.string());
  rec().Zone0Sectors = 4095;
  rec().FixedSectors = rec().DiskSectors = 9000;
  rec().ZoneOverflow = 1;
  auto j = job();
  ASSERT_EQ(WriteFileSystems(j, {}), 0);
  for (std::size_t s = 0; s < (content.size() + 511) / 512; ++s) {
    const auto& got = disk.sectors.at(std::uint32_t(s));
    for (std::size_t b = 0; b < 512 && s * 512 + b < content.size(); ++b)
      ASSERT_EQ(got[b], content[s * 512 + b]) << s << ":" << b;
  }
  EXPECT_EQ(rec().FixedSectors, 9000u);
  EXPECT_EQ(rec().DiskSectors, 9000u);
  EXPECT_EQ(disk.writes.size(), 4u) << "no private record with an overflowed zone";

  setText(131, (tmp / "missing.iso").string() + std::string(20, '\0'));
  EXPECT_EQ(WriteFileSystems(j, {}), msg::kOpenFileError);
  EXPECT_EQ(station.display(0).snapshot().text, "Open file error ");
}

TEST_F(FileWriterTest, VerifyFailuresRetryFiveTimesThenReport) {
  rec().Zone0Sectors = 8191;
  rec().FixedSectors = rec().DiskSectors = 8191;
  rec().ZoneOverflow = 1;
  auto j = job();
  disk.corruptReads = 4;
  EXPECT_EQ(WriteFileSystems(j, {}), 0) << "the fifth attempt succeeds";
  disk.corruptReads = 5;
  EXPECT_EQ(WriteFileSystems(j, {}), msg::kFileVerifyError);
  EXPECT_EQ(station.display(0).snapshot().colour, BarColour::Red);
  disk.failWrites = PackSense(3, 0x0C, 0);
  EXPECT_EQ(WriteFileSystems(j, {}), PackSense(3, 0x0C, 0));
  disk.failWrites = 0;
  rec().Running = 0;
  EXPECT_EQ(WriteFileSystems(j, {}), msg::kCancel);
  EXPECT_EQ(station.display(0).snapshot().colour, BarColour::Purple);
}

TEST_F(FileWriterTest, ZoneTooSmallForAnyFatIsAFailure) {
  rec().Zone0Sectors = 15;
  auto j = job();
  EXPECT_EQ(WriteFileSystems(j, {}), -1);
  EXPECT_EQ(station.display(0).snapshot().colour, BarColour::Red);
}

TEST_F(FileWriterTest, CopyTreeRecreatesFoldersAndFiles) {
  const auto src = tmp / "src", dst = tmp / "dst";
  fs::create_directories(src / "a" / "b");
  std::ofstream(src / "top.txt") << "top";
  std::ofstream(src / "a" / "b" / "deep.bin") << std::string(300000, 'x');
  fs::create_directories(dst);
  auto j = job();
  ASSERT_TRUE(CopyTree(j, src, dst, std::chrono::milliseconds(1)));
  EXPECT_EQ(fs::file_size(dst / "a" / "b" / "deep.bin"), 300000u);
  std::ifstream top(dst / "top.txt");
  std::string t;
  top >> t;
  EXPECT_EQ(t, "top");

  EXPECT_FALSE(CopyTree(j, tmp / "nope", dst, std::chrono::milliseconds(1)));
  EXPECT_FALSE(CopyTree(j, src, tmp / "no-volume", std::chrono::milliseconds(1)))
      << "a volume that is not there";
  rec().Running = 0;
  fs::create_directories(dst);
  EXPECT_FALSE(CopyTree(j, src, dst, std::chrono::milliseconds(1)));
}

}  // namespace
}  // namespace kvx
