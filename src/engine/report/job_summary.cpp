#include "engine/report/job_summary.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "engine/port_display.h"
#include "engine/station.h"

namespace kvx {

const char* const kProductionLogHeader =
    "timestamp,station,slot,port_key,device_path,result,colour,final_text,bad_pages,disk_mib,"
    "fixed_mib,bin,serial,elapsed_seconds";

JobSummary SummarizePort(Station& station, int slot) {
  const FORMATINFO& rec = station.record(slot);
  const PortView v = station.display(slot).snapshot();
  JobSummary s;
  s.slot = slot;
  s.portKey = rec.PortKey;
  s.devicePath = rec.DevicePath;
  s.result = rec.LastResult;
  s.colour = ColourName(v.colour);
  s.text = ExpandPercent(v.text, v.percent);
  s.failure = ExpandPercent(rec.FailureText, 0);
  s.badPages = rec.BadPages;
  s.diskMiB = rec.DiskSectors >> 11;
  s.fixedMiB = rec.FixedSectors >> 11;
  s.bin = rec.BinNo;
  s.serial = rec.SerialText;
  s.elapsedSeconds = rec.ElapsedSeconds.load();
  return s;
}

std::string JobsToJson(const std::vector<JobSummary>& jobs) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& j : jobs) {
    array.push_back({{"slot", j.slot},
                     {"port_key", j.portKey},
                     {"device_path", j.devicePath},
                     {"result", j.result},
                     {"colour", j.colour},
                     {"final_text", j.text},
                     {"failure", j.failure},
                     {"bad_pages", j.badPages},
                     {"disk_mib", j.diskMiB},
                     {"fixed_mib", j.fixedMiB},
                     {"bin", j.bin},
                     {"serial", j.serial},
                     {"elapsed_seconds", j.elapsedSeconds}});
  }
  // Texts come from devices and files: never let a stray byte break the output.
  return array.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string CsvField(const std::string& value) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string AppendProductionLog(const std::string& path, const std::string& timestamp,
                                const std::string& stationFolder,
                                const std::vector<JobSummary>& jobs) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return path + ": " + std::strerror(errno);
  // Two stations appending to one log take turns.
  flock(fd, LOCK_EX);
  std::string text;
  const off_t size = lseek(fd, 0, SEEK_END);
  if (size == 0) text = std::string(kProductionLogHeader) + "\n";
  for (const auto& j : jobs) {
    const std::string fields[] = {timestamp,
                                  stationFolder,
                                  std::to_string(j.slot),
                                  j.portKey,
                                  j.devicePath,
                                  std::to_string(j.result),
                                  j.colour,
                                  j.text,
                                  std::to_string(j.badPages),
                                  std::to_string(j.diskMiB),
                                  std::to_string(j.fixedMiB),
                                  std::to_string(j.bin),
                                  j.serial,
                                  std::to_string(j.elapsedSeconds)};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
      if (i) text += ',';
      text += CsvField(fields[i]);
    }
    text += "\n";
  }
  std::string error;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = path + ": " + std::strerror(errno);
      break;
    }
    done += std::size_t(n);
  }
  if (error.empty() && ::fsync(fd) != 0) error = path + ": " + std::strerror(errno);
  ::close(fd);
  return error;
}

}  // namespace kvx
