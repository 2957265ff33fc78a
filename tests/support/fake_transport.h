#pragma once
// A scripted DeviceAccess for tests: records every command block, answers
// from a queue of scripted replies (data, result), and can fail opens.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/transport.h"

namespace kvx::test {

struct SentCommand {
  DataDirection direction;
  DeviceHandle handle;
  Cdb cdb;
  std::uint32_t length;
  std::uint8_t lun;
  std::uint32_t timeout;
  std::vector<std::uint8_t> dataOut;  // what was sent, for data-out commands
};

struct ScriptedReply {
  ScsiResult result = 0;
  std::vector<std::uint8_t> dataIn;  // copied into the buffer of data-in commands
};

class FakeTransport : public DeviceAccess {
 public:
  // Paths that open; each gets a fresh handle (never reused).
  std::map<std::string, bool> openable;
  bool openEverything = true;

  DeviceHandle open(const std::string& path) override {
    std::lock_guard l(m_);
    auto it = openable.find(path);
    const bool ok = it != openable.end() ? it->second : openEverything;
    if (!ok) return kInvalidHandle;
    opened.push_back(path);
    return nextHandle_++;
  }
  void close(DeviceHandle h) override {
    std::lock_guard l(m_);
    closed.push_back(h);
  }
  ScsiResult send(DataDirection dir, DeviceHandle h, const Cdb& cdb, void* buffer,
                  std::uint32_t length, std::uint8_t lun, std::uint32_t timeout) override {
    std::lock_guard l(m_);
    SentCommand c{dir, h, cdb, length, lun, timeout, {}};
    if (dir == DataDirection::Out && buffer)
      c.dataOut.assign(static_cast<std::uint8_t*>(buffer),
                       static_cast<std::uint8_t*>(buffer) + length);
    sent.push_back(std::move(c));
    if (replies.empty()) return 0;
    ScriptedReply r = std::move(replies.front());
    replies.pop_front();
    const std::size_t n = std::min<std::size_t>(r.dataIn.size(), length);
    if (dir == DataDirection::In && buffer && n > 0) std::memcpy(buffer, r.dataIn.data(), n);
    return r.result;
  }

  std::deque<ScriptedReply> replies;
  std::vector<SentCommand> sent;
  std::vector<std::string> opened;
  std::vector<DeviceHandle> closed;

 private:
  std::mutex m_;
  DeviceHandle nextHandle_ = 100;
};

}  // namespace kvx::test
