#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "device/device_router.h"
#include "device/scsi.h"
#include "platform/linux/sg_transport.h"
#include "support/fake_transport.h"

namespace kvx {
namespace {

TEST(ScsiResultFromSense, FixedAndDescriptorFormats) {
  std::uint8_t fixed[24] = {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11, 0x00};
  EXPECT_EQ(ScsiResultFromSense(fixed), 0x31100);
  EXPECT_EQ(ScsiResultFromSense(fixed), 200960);
  fixed[2] = 0x83;  // filemark/EOM/ILI bits are dropped
  EXPECT_EQ(ScsiResultFromSense(fixed), 0x31100);
  const std::uint8_t descriptor[8] = {0x72, 0x05, 0x24, 0x01};
  EXPECT_EQ(ScsiResultFromSense(descriptor), 0x52401);
  EXPECT_EQ(ScsiResultFromSense({}), 0);
}

// The substituted ioctl plays back one completed header.
struct IoctlScript {
  int returnValue = 0;
  int error = 0;
  unsigned char status = 0, hostStatus = 0, driverStatus = 0;
  std::vector<std::uint8_t> sense;
  sg_io_hdr_t seen{};
  Cdb seenCdb{};
  std::vector<std::uint8_t> data{};  // what the device sends (data-in)
  int resid = 0;
};
IoctlScript* gScript = nullptr;

int ScriptedIoctl(int, unsigned long request, void* arg) {
  if (request != SG_IO) return errno = EINVAL, -1;
  auto* hdr = static_cast<sg_io_hdr_t*>(arg);
  gScript->seen = *hdr;
  std::memcpy(gScript->seenCdb.data(), hdr->cmdp, hdr->cmd_len);
  if (gScript->returnValue < 0) return errno = gScript->error, -1;
  hdr->status = gScript->status;
  hdr->host_status = gScript->hostStatus;
  hdr->driver_status = gScript->driverStatus;
  const auto n = std::min<std::size_t>(gScript->sense.size(), hdr->mx_sb_len);
  if (n > 0) std::memcpy(hdr->sbp, gScript->sense.data(), n);
  hdr->sb_len_wr = static_cast<unsigned char>(n);
  if (!gScript->data.empty())
    std::memcpy(hdr->dxferp, gScript->data.data(), std::min<std::size_t>(gScript->data.size(), hdr->dxfer_len));
  hdr->resid = gScript->resid;
  return 0;
}

std::vector<std::uint8_t> Sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  std::vector<std::uint8_t> s(18, 0);
  s[0] = 0x70, s[2] = key, s[7] = 10, s[12] = asc, s[13] = ascq;
  return s;
}

TEST(SgTransport, MapsEveryOutcome) {
  struct Case {
    const char* name;
    IoctlScript script;
    ScsiResult expected;
  } cases[] = {
      {"good, no sense", {0, 0, 0x00, 0, 0, {}}, 0},
      {"check condition with sense", {0, 0, 0x02, 0, 0x08, Sense(0x05, 0x20, 0x00)}, 0x52000},
      {"ioctl fails", {-1, ENODEV, 0, 0, 0, {}}, ENODEV},
      {"host: command timed out, no sense", {0, 0, 0, 0x03, 0, {}}, ETIMEDOUT},
      {"host: device gone", {0, 0, 0, 0x01, 0, {}}, ENODEV},
      {"host: bus reset", {0, 0, 0, 0x08, 0, {}}, ECONNRESET},
      {"host: transport disrupted", {0, 0, 0, 0x0e, 0, {}}, ECONNRESET},
      {"driver: timeout", {0, 0, 0, 0, 0x06, {}}, ETIMEDOUT},
      {"check condition without sense", {0, 0, 0x02, 0, 0x08, {}}, EIO},
      {"busy status", {0, 0, 0x08, 0, 0, {}}, EBUSY},
      {"reservation conflict", {0, 0, 0x18, 0, 0, {}}, EBUSY},
      {"sense of all zeros with check condition", {0, 0, 0x02, 0, 0x08, Sense(0, 0, 0)}, EIO},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    gScript = &c.script;
    SgTransport t(&ScriptedIoctl);
    std::uint8_t buf[512];
    EXPECT_EQ(t.send(DataDirection::In, 3, Cdb{0x28}, buf, 512, 0, 5), c.expected);
  }
  gScript = nullptr;
}

TEST(SgTransport, FillsTheRequest) {
  IoctlScript script;
  gScript = &script;
  SgTransport t(&ScriptedIoctl);
  std::uint8_t buf[1024];
  const Cdb cdb{0x28, 0, 0, 1, 0x23, 0x45, 0, 0, 2};
  ASSERT_EQ(t.send(DataDirection::In, 7, cdb, buf, 1024, 0, 5), 0);
  EXPECT_EQ(script.seen.interface_id, 'S');
  EXPECT_EQ(script.seen.cmd_len, 16) << "10-byte commands travel as 16 bytes";
  EXPECT_EQ(script.seenCdb, cdb);
  EXPECT_GE(script.seen.mx_sb_len, 24);
  EXPECT_EQ(script.seen.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(script.seen.dxfer_len, 1024u);
  EXPECT_EQ(script.seen.dxferp, buf) << "data moves directly into the caller's buffer";
  EXPECT_EQ(script.seen.timeout, 5000u);

  ASSERT_EQ(t.send(DataDirection::Out, 7, cdb, buf, 512, 0, 4294967), 0);
  EXPECT_EQ(script.seen.dxfer_direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(script.seen.timeout, 4294967000u);
  ASSERT_EQ(t.send(DataDirection::Out, 7, cdb, buf, 512, 0, 4294968), 0);
  EXPECT_EQ(script.seen.timeout, 0xFFFFFFFFu) << "a huge timeout saturates, never wraps";
  gScript = nullptr;
}

TEST(SgTransport, ShortDataInLeavesNoStaleBytes) {
  struct Case {
    const char* name;
    int resid;
    std::size_t zeroFrom;  // first byte that must read 0
  } cases[] = {
      {"device sent 100 of 512", 412, 100},
      {"a shortfall larger than the request", 100000, 0},
      {"device sent everything", 0, 512},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IoctlScript script;
    script.data.assign(512 - std::min(512, c.resid), 0x5A);
    script.resid = c.resid;
    gScript = &script;
    SgTransport t(&ScriptedIoctl);
    std::vector<std::uint8_t> buf(512, 0xEE);  // what an earlier command left
    ASSERT_EQ(t.send(DataDirection::In, 3, Cdb{0x28}, buf.data(), 512, 0, 5), 0);
    for (std::size_t i = 0; i < buf.size(); ++i)
      ASSERT_EQ(buf[i], i < c.zeroFrom ? 0x5A : 0x00) << "byte " << i;
  }
  gScript = nullptr;
}

TEST(SgTransport, InvalidOrClosedHandleGivesAnError) {
  SgTransport t;
  std::uint8_t buf[512];
  EXPECT_EQ(t.send(DataDirection::In, kInvalidHandle, Cdb{0x28}, buf, 512, 0, 5), EBADF);
  const int fd = ::open("/dev/null", O_RDWR);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_NE(t.send(DataDirection::In, fd, Cdb{0x28}, buf, 512, 0, 5), 0);
  // An open file that is no SCSI device refuses SG_IO.
  const DeviceHandle h = t.open("/dev/null");
  ASSERT_TRUE(IsOpen(h));
  EXPECT_NE(t.send(DataDirection::In, h, Cdb{0x28}, buf, 512, 0, 5), 0);
  t.close(h);
  EXPECT_EQ(t.open("/nonexistent/sg0"), kInvalidHandle);
}

TEST(DeviceRouter, RoutesByPathAndHandle) {
  test::FakeTransport real, sim;
  DeviceRouter router;
  router.addBackend("", &real);
  router.addBackend("sim:", &sim);
  const DeviceHandle hs = router.open("sim:3");
  const DeviceHandle hr = router.open("/dev/sg3");
  ASSERT_TRUE(IsOpen(hs));
  ASSERT_TRUE(IsOpen(hr));
  EXPECT_NE(hs, hr) << "the two backends hand out the same inner numbers";
  std::uint8_t buf[8];
  router.send(DataDirection::In, hs, Cdb{0xD3}, buf, 8, 0, 1);
  router.send(DataDirection::In, hr, Cdb{0xD6}, buf, 8, 0, 1);
  ASSERT_EQ(sim.sent.size(), 1u);
  ASSERT_EQ(real.sent.size(), 1u);
  EXPECT_EQ(sim.sent[0].cdb[0], 0xD3);
  EXPECT_EQ(real.sent[0].cdb[0], 0xD6);
  EXPECT_EQ(sim.sent[0].handle, real.sent[0].handle) << "inner handles reach the backend";
  EXPECT_EQ(router.send(DataDirection::In, kInvalidHandle, Cdb{}, buf, 8, 0, 1), EBADF);
  EXPECT_EQ(router.send(DataDirection::In, 12345, Cdb{}, buf, 8, 0, 1), EBADF);
  router.close(hs);
  ASSERT_EQ(sim.closed.size(), 1u);
  sim.openEverything = false;
  EXPECT_EQ(router.open("sim:4"), kInvalidHandle);
}

}  // namespace
}  // namespace kvx
