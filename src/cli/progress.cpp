#include "cli/progress.h"

#include <cstdio>
#include <string>

#include "cli/common.h"

namespace vorn::cli {

namespace {

// Erase the whole line and return to its start.
constexpr std::string_view ERASE_LINE = "\r\x1b[K";

std::string one_decimal(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", x);
  return buf;
}

// "512 B", "1.5 KiB", "12.3 MiB", "2.0 GiB".
std::string human_bytes(uint64_t n) {
  static constexpr const char* UNITS[] = {"KiB", "MiB", "GiB", "TiB"};
  if (n < 1024) return std::to_string(n) + " B";
  double x = static_cast<double>(n) / 1024.0;
  size_t unit = 0;
  while (x >= 1024.0 && unit + 1 < std::size(UNITS)) {
    x /= 1024.0;
    ++unit;
  }
  return one_decimal(x) + " " + UNITS[unit];
}

}  // namespace

Progress::Progress(size_t total, bool enabled)
    : start_(std::chrono::steady_clock::now()), total_(total), enabled_(enabled) {}

void Progress::draw(size_t done, uint64_t bytes, std::string_view tail) {
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
  std::string line(ERASE_LINE);
  line += cat({"[", std::to_string(done), "/", std::to_string(total_), " files] "});
  line += human_bytes(bytes) + ", " + one_decimal(elapsed.count()) + " s";
  line += tail;
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void Progress::show(size_t done, uint64_t bytes, std::string_view current) {
  if (!enabled_) return;
  // Long names are cut from the left: the file name at the end matters most.
  constexpr size_t KEEP = 40;
  std::string tail = "  ";
  if (current.size() > KEEP) {
    tail += "...";
    current.remove_prefix(current.size() - KEEP);
    while (!current.empty() && (static_cast<unsigned char>(current[0]) & 0xC0) == 0x80) {
      current.remove_prefix(1);  // not in the middle of a character
    }
  }
  tail += current;
  draw(done, bytes, tail);
}

void Progress::clear() {
  if (!enabled_) return;
  std::fwrite(ERASE_LINE.data(), 1, ERASE_LINE.size(), stderr);
}

void Progress::finish(size_t done, uint64_t bytes) {
  if (!enabled_) return;
  draw(done, bytes, "\n");
}

}  // namespace vorn::cli
