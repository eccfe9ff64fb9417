// A one-line progress display on standard error for commands that work through many files:
// files done of the total, bytes read and time elapsed. Draws nothing when it is disabled.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::cli {

class Progress {
 public:
  Progress(size_t total, bool enabled);

  // Redraws the line: `done` files finished, `bytes` read so far, `current` being worked on.
  void show(size_t done, uint64_t bytes, std::string_view current);
  // Erases the line so that a message can be printed in its place.
  void clear();
  // Leaves the final count on the line and ends it.
  void finish(size_t done, uint64_t bytes);

 private:
  void draw(size_t done, uint64_t bytes, std::string_view tail);

  std::chrono::steady_clock::time_point start_;
  size_t total_;
  bool enabled_;
};

}  // namespace vorn::cli
