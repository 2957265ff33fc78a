#pragma once
// What the operator sees of one port: its bar line, its button. Workers write
// it, front ends poll it; a small lock per port and a change counter, so a
// window repaints only what changed and never waits on another port.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace kvx {

enum class BarColour : std::uint8_t { Blue, Red, Magenta, Purple };

struct Rgb {
  std::uint8_t r, g, b;
};
// Full-intensity blue, red and magenta; purple is red and blue at half.
Rgb ColourRgb(BarColour c);
const char* ColourName(BarColour c);

struct PortView {
  std::string text = "$p%";  // "$p" shows as the current percentage
  BarColour colour = BarColour::Blue;
  int percent = 0;  // 0..100
  std::string buttonCaption;
  bool buttonEnabled = false;
  std::uint64_t version = 0;
};

// Replaces every "$p" in `text` by the decimal percentage.
std::string ExpandPercent(const std::string& text, int percent);

class PortDisplay {
 public:
  void setText(const std::string& text);
  void setColour(BarColour colour);
  void setPercent(int percent);  // clamped to 0..100
  void setBar(const std::string& text, BarColour colour, int percent);
  void setButtonEnabled(bool enabled);
  void setButtonCaption(const std::string& caption);

  PortView snapshot() const;
  // Cheap poll: changes whenever anything above changed.
  std::uint64_t version() const { return version_.load(std::memory_order_acquire); }

 private:
  template <typename F>
  void update(F&& change);

  mutable std::mutex mutex_;
  PortView view_;
  std::atomic<std::uint64_t> version_{0};
};

}  // namespace kvx
