#include "engine/port_display.h"

#include <algorithm>

namespace kvx {

Rgb ColourRgb(BarColour c) {
  switch (c) {
    case BarColour::Blue:
      return {0, 0, 255};
    case BarColour::Red:
      return {255, 0, 0};
    case BarColour::Magenta:
      return {255, 0, 255};
    case BarColour::Purple:
      return {128, 0, 128};
  }
  return {0, 0, 0};
}

const char* ColourName(BarColour c) {
  switch (c) {
    case BarColour::Blue:
      return "blue";
    case BarColour::Red:
      return "red";
    case BarColour::Magenta:
      return "magenta";
    case BarColour::Purple:
      return "purple";
  }
  return "";
}

std::string ExpandPercent(const std::string& text, int percent) {
  std::string out;
  const std::string value = std::to_string(percent);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '$' && i + 1 < text.size() && text[i + 1] == 'p') {
      out += value;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

template <typename F>
void PortDisplay::update(F&& change) {
  std::lock_guard lock(mutex_);
  if (change(view_)) {
    view_.version = version_.load(std::memory_order_relaxed) + 1;
    version_.store(view_.version, std::memory_order_release);
  }
}

void PortDisplay::setText(const std::string& text) {
  update([&](PortView& v) { return v.text != text ? (v.text = text, true) : false; });
}

void PortDisplay::setColour(BarColour colour) {
  update([&](PortView& v) { return v.colour != colour ? (v.colour = colour, true) : false; });
}

void PortDisplay::setPercent(int percent) {
  const int p = std::clamp(percent, 0, 100);
  update([&](PortView& v) { return v.percent != p ? (v.percent = p, true) : false; });
}

void PortDisplay::setBar(const std::string& text, BarColour colour, int percent) {
  const int p = std::clamp(percent, 0, 100);
  update([&](PortView& v) {
    if (v.text == text && v.colour == colour && v.percent == p) return false;
    v.text = text;
    v.colour = colour;
    v.percent = p;
    return true;
  });
}

void PortDisplay::setButtonEnabled(bool enabled) {
  update([&](PortView& v) {
    return v.buttonEnabled != enabled ? (v.buttonEnabled = enabled, true) : false;
  });
}

void PortDisplay::setButtonCaption(const std::string& caption) {
  update([&](PortView& v) {
    return v.buttonCaption != caption ? (v.buttonCaption = caption, true) : false;
  });
}

PortView PortDisplay::snapshot() const {
  std::lock_guard lock(mutex_);
  return view_;
}

}  // namespace kvx
