#pragma once
// The outcome of one port's job as reports show it: the terminal station's
// JSON output and the production log (CSV).

#include <cstdint>
#include <string>
#include <vector>

namespace kvx {

class Station;

struct JobSummary {
  int slot = 0;
  std::string portKey;
  std::string devicePath;
  std::int32_t result = 0;
  std::string colour;  // blue, red, magenta, purple
  std::string text;    // the final bar line, "$p" shown as the percentage
  std::string failure;  // why the job failed (empty after success)
  std::uint32_t badPages = 0;
  std::uint32_t diskMiB = 0;
  std::uint32_t fixedMiB = 0;
  int bin = 0;
  std::string serial;
  std::uint32_t elapsedSeconds = 0;
};

// Reads a port after its job has ended.
JobSummary SummarizePort(Station& station, int slot);

// One JSON array, one object per job.
std::string JobsToJson(const std::vector<JobSummary>& jobs);

// Columns of the production log, in order.
extern const char* const kProductionLogHeader;

// Appends one row per job (time stamp, station folder, the summary fields)
// to a CSV production log, writing the header first when the file is new or
// empty. Returns an empty string on success, else the reason.
std::string AppendProductionLog(const std::string& path, const std::string& timestamp,
                                const std::string& stationFolder,
                                const std::vector<JobSummary>& jobs);

// A CSV field: quoted when it holds a comma, quote, CR or LF.
std::string CsvField(const std::string& value);

}  // namespace kvx
