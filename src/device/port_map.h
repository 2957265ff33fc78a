#pragma once
// The port map: which port key owns which slot, kept in the ini file's
// "Ports" section as "key=slot" lines so a socket keeps its slot across
// restarts. Discovery reads and writes it through this interface; the ini
// file implements it for the station, memory for tests and simulations.

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kvx {

class PortMapStore {
 public:
  virtual ~PortMapStore() = default;
  // The section's lines in file order, as (key, value text).
  virtual std::vector<std::pair<std::string, std::string>> lines() = 0;
  virtual void write(const std::string& key, int slot) = 0;
  // Removes the whole section.
  virtual void erase() = 0;
};

class MemoryPortMap final : public PortMapStore {
 public:
  std::vector<std::pair<std::string, std::string>> lines() override {
    std::lock_guard l(m_);
    return lines_;
  }
  void write(const std::string& key, int slot) override {
    std::lock_guard l(m_);
    for (auto& [k, v] : lines_)
      if (k == key) {
        v = std::to_string(slot);
        return;
      }
    lines_.emplace_back(key, std::to_string(slot));
  }
  void erase() override {
    std::lock_guard l(m_);
    lines_.clear();
  }
  void set(std::vector<std::pair<std::string, std::string>> lines) {
    std::lock_guard l(m_);
    lines_ = std::move(lines);
  }

 private:
  std::mutex m_;
  std::vector<std::pair<std::string, std::string>> lines_;
};

}  // namespace kvx
