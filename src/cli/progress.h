// A one-line progress display on standard error for commands that work through many files:
// files done of the total, bytes read, rate and time left, and the file being worked on, cut to
// the width of the terminal so that the line never wraps. Draws nothing when it is disabled.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::cli {

class Progress {
 public:
  // `total_bytes` is the size of all inputs, or 0 when it is not known.
  Progress(size_t total_files, uint64_t total_bytes, bool enabled);

  bool enabled() const noexcept { return enabled_; }
  // Redraws the line: `done` files finished, `bytes` read so far, `current` being worked on.
  // Draws at most ten times a second, and always the first time.
  void show(size_t done, uint64_t bytes, std::string_view current);
  // Erases the line so that a message can be printed in its place; the next show draws it again.
  void clear();
  // Leaves the final count on the line and ends it.
  void finish(size_t done, uint64_t bytes);

 private:
  void draw(size_t done, uint64_t bytes, std::string_view current, bool final);

  using Clock = std::chrono::steady_clock;
  Clock::time_point start_;
  Clock::time_point last_draw_;
  size_t total_files_;
  uint64_t total_bytes_;
  bool enabled_;
  bool drawn_ = false;  // a line is on the screen
};

}  // namespace vorn::cli
