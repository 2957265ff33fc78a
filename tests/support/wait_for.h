#pragma once
// Polls a condition until it holds or a time limit passes (for tests that
// wait on other threads). True when the condition held in time.

#include <chrono>
#include <thread>

namespace kvx::test {

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace kvx::test
