#pragma once
// The built-in message table: one entry per message id, a text per language.

#include <array>
#include <cstdint>

namespace kvx {

struct MessageEntry {
  std::uint32_t id;
  const char* english;
  const char* simplifiedChinese;
  const char* traditionalChinese;
};

inline constexpr std::size_t kMessageCount = 53;
extern const std::array<MessageEntry, kMessageCount> kMessageTable;

}  // namespace kvx
