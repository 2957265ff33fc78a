#include "engine/messages.h"

#include <cstring>
#include <string_view>

#include "engine/message_table.h"

namespace kvx {
namespace {

constexpr std::size_t kSystemTextLimit = 128;

}  // namespace

Language LanguageForLocale(std::uint32_t localeId) {
  switch (localeId) {
    case kLocaleChinesePrc:
      return Language::SimplifiedChinese;
    case kLocaleChineseTaiwan:
      return Language::TraditionalChinese;
    default:
      return Language::English;
  }
}

std::string SystemErrorText(int code) {
  char buffer[256];
  // GNU strerror_r returns a pointer to the text (in the buffer or static).
  const char* text = strerror_r(code, buffer, sizeof buffer);
  if (!text) return {};
  std::string_view sv(text);
  if (sv.starts_with("Unknown error")) return {};
  return std::string(sv.substr(0, kSystemTextLimit));
}

const char* MessageCatalogue::text(MessageId id) const {
  if (id == 0) return nullptr;
  if (id < 32768) {
    thread_local std::string systemText;
    systemText = SystemErrorText(int(id));
    return systemText.empty() ? nullptr : systemText.c_str();
  }
  for (const auto& e : kMessageTable) {
    if (e.id != id) continue;
    switch (language_) {
      case Language::SimplifiedChinese:
        return e.simplifiedChinese;
      case Language::TraditionalChinese:
        return e.traditionalChinese;
      case Language::English:
        return e.english;
    }
  }
  return nullptr;
}

std::string MessageCatalogue::str(MessageId id) const {
  const char* t = text(id);
  return t ? std::string(t) : std::string();
}

std::string FormatMessageText(const std::string& format, std::initializer_list<long long> values) {
  std::string out;
  out.reserve(format.size() + 16);
  auto next = values.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 'd' && next != values.end()) {
      out += std::to_string(*next++);
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

}  // namespace kvx
