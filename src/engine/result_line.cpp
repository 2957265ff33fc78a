#include "engine/result_line.h"

namespace kvx {

std::string ElapsedText(std::uint32_t s) {
  return " " + std::to_string(s / 3600) + ":" + std::to_string(s % 3600 / 60) + ":" +
         std::to_string(s % 60);
}

std::string FinishedStatusText(const MessageCatalogue& messages, const JobOutcome& o) {
  return FormatMessageText(messages.str(msg::kFinished),
                           {o.badPages, o.diskSectors >> 11, o.fixedSectors >> 11});
}

std::string ResultLine(const MessageCatalogue& messages, const JobOutcome& o) {
  return FinishedStatusText(messages, o) + "   " + ElapsedText(o.elapsedSeconds) +
         "       BIN-" + std::to_string(o.binNo);
}

}  // namespace kvx
