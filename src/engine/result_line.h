#pragma once
// The line a port's bar shows when its job has ended.

#include <cstdint>
#include <string>

#include "engine/messages.h"

namespace kvx {

// " " + h + ":" + m + ":" + s, decimal without leading zeros (3725 -> " 1:2:5").
std::string ElapsedText(std::uint32_t seconds);

struct JobOutcome {
  std::uint32_t badPages = 0;
  std::uint32_t diskSectors = 0;
  std::uint32_t fixedSectors = 0;
  std::uint32_t elapsedSeconds = 0;
  std::uint8_t binNo = 0;
};

// Message 32790 with bad pages, disk MiB and fixed MiB (sectors >> 11).
std::string FinishedStatusText(const MessageCatalogue& messages, const JobOutcome& o);

// The whole bar text: status + "   " + elapsed text + "       BIN-" + bin.
std::string ResultLine(const MessageCatalogue& messages, const JobOutcome& o);

// The verdict texts of the soldering check.
inline constexpr const char* kSolderingOkText = "不存在焊接问题，可以使用多片高格";
inline constexpr const char* kSolderingSuspectText = "可能存在焊接问题，不能使用多片高格";

}  // namespace kvx
