#pragma once
// The produced disk's volume while the folder copies run: its root folder, or
// why there is none. A volume the station mounted itself is flushed and given
// back by finish(); the destructor finishes one that was not finished, so an
// early way out never leaves a mount behind.

#include <filesystem>
#include <functional>
#include <string>
#include <utility>

namespace kvx {

class ProducedVolume {
 public:
  // No volume; `problem` says why (shown after the copy error).
  static ProducedVolume Missing(std::string problem) {
    ProducedVolume v;
    v.problem_ = std::move(problem);
    return v;
  }
  // A volume at `root`; `finish` flushes and releases it and returns an empty
  // text, or what went wrong. Without one there is nothing to give back.
  explicit ProducedVolume(std::filesystem::path root, std::function<std::string()> finish = {})
      : root_(std::move(root)), finish_(std::move(finish)) {}

  ProducedVolume(ProducedVolume&& o) noexcept
      : root_(std::move(o.root_)),
        problem_(std::move(o.problem_)),
        finish_(std::exchange(o.finish_, {})) {}
  ProducedVolume& operator=(ProducedVolume&& o) noexcept {
    if (this != &o) {
      finish();
      root_ = std::move(o.root_);
      problem_ = std::move(o.problem_);
      finish_ = std::exchange(o.finish_, {});
    }
    return *this;
  }
  ProducedVolume(const ProducedVolume&) = delete;
  ProducedVolume& operator=(const ProducedVolume&) = delete;
  ~ProducedVolume() { finish(); }

  bool available() const { return !root_.empty(); }
  const std::filesystem::path& root() const { return root_; }
  const std::string& problem() const { return problem_; }

  // Runs the release once; later calls return an empty text.
  std::string finish() {
    auto f = std::exchange(finish_, {});
    return f ? f() : std::string();
  }

 private:
  ProducedVolume() = default;
  std::filesystem::path root_;
  std::string problem_;
  std::function<std::string()> finish_;
};

}  // namespace kvx
