#pragma once
// Helpers of the configuration tests: a temporary station folder and an
// operator that answers with a script and keeps every message it was shown.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/operator.h"

namespace kvx::test {

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kvx-config-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

inline std::string ReadBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class RecordingOperator : public Operator {
 public:
  bool answer = true;
  std::vector<OperatorMessage> questions, notices;
  bool confirm(const OperatorMessage& q) override {
    questions.push_back(q);
    return answer;
  }
  void inform(const OperatorMessage& n) override { notices.push_back(n); }
};

}  // namespace kvx::test
