#include "cli/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/common.h"

namespace vorn::cli {

namespace {

// Erase the whole line and return to its start.
constexpr std::string_view ERASE_LINE = "\r\x1b[K";

// Columns assumed when the terminal does not tell its width.
constexpr size_t DEFAULT_COLUMNS = 80;

// The shortest file name worth showing, in columns, "..." included.
constexpr size_t MIN_NAME_COLUMNS = 8;

std::string one_decimal(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", x);
  return buf;
}

// "512 B", "1.5 KiB", "12.3 MiB", "2.0 GiB".
std::string human_bytes(double n) {
  static constexpr const char* UNITS[] = {"KiB", "MiB", "GiB", "TiB"};
  if (n < 1024) return group_digits(static_cast<uint64_t>(n)) + " B";
  double x = n / 1024.0;
  size_t unit = 0;
  while (x >= 1024.0 && unit + 1 < std::size(UNITS)) {
    x /= 1024.0;
    ++unit;
  }
  return one_decimal(x) + " " + UNITS[unit];
}

// "45 s", "12 min 5 s", "3 h 20 min".
std::string human_duration(double seconds) {
  const auto s = static_cast<uint64_t>(seconds + 0.5);
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return cat({std::to_string(s / 60), " min ", std::to_string(s % 60), " s"});
  return cat({group_digits(s / 3600), " h ", std::to_string(s / 60 % 60), " min"});
}

// The columns a UTF-8 text takes, counted as one per character.
size_t columns_of(std::string_view s) {
  size_t n = 0;
  for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// The last `columns` characters of `s`, "..." first when some were cut; control characters
// (a file name may hold a line break) become '?'.
std::string tail_of(std::string_view s, size_t columns) {
  std::string out;
  if (columns_of(s) > columns) {
    out = "...";
    size_t keep = columns - 3;
    size_t at = s.size();
    while (at > 0 && keep > 0) {
      --at;
      if ((static_cast<unsigned char>(s[at]) & 0xC0) != 0x80) --keep;
    }
    s.remove_prefix(at);
  }
  for (const char c : s) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  return out;
}

// The first `columns` characters of an ASCII text.
std::string head_of(const std::string& s, size_t columns) { return s.substr(0, columns); }

// The width of the terminal on standard error, less one column: a line that fills the last
// column makes some terminals wrap before the next erase.
size_t line_width() {
  struct winsize ws {};
  const size_t columns =
      ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : DEFAULT_COLUMNS;
  return columns > 1 ? columns - 1 : 1;
}

// "[12/200 files] 3.4 MiB, 2 s left, 12.1 MiB/s  data/x.json" (at the end "[200/200 files]
// 9.3 MiB in 0.8 s, 12.0 MiB/s"), as much of it as fits in `width` columns: the parts after the
// counts are dropped from the end, the name is cut from its start.
std::string progress_line(size_t done, size_t total_files, uint64_t bytes, uint64_t total_bytes,
                          double seconds, std::string_view current, bool final, size_t width) {
  const auto b = static_cast<double>(bytes);
  std::string line =
      cat({"[", group_digits(done), "/", group_digits(total_files), " files] ", human_bytes(b)});
  std::vector<std::string> parts;
  const bool timed = seconds >= 0.5 && bytes > 0;  // a rate worth showing
  if (final) {
    parts.push_back(cat({" in ", one_decimal(seconds), " s"}));
  } else if (timed && total_bytes > bytes) {
    const double left = static_cast<double>(total_bytes - bytes) * seconds / b;
    parts.push_back(cat({", ", human_duration(left), " left"}));
  }
  if (timed) parts.push_back(cat({", ", human_bytes(b / seconds), "/s"}));
  if (columns_of(line) > width) return head_of(line, width);
  for (const std::string& part : parts) {
    if (columns_of(line) + columns_of(part) > width) return line;
    line += part;
  }
  const size_t used = columns_of(line) + 2;
  if (!final && !current.empty() && used + MIN_NAME_COLUMNS <= width) {
    line += "  " + tail_of(current, width - used);
  }
  return line;
}

}  // namespace

Progress::Progress(size_t total_files, uint64_t total_bytes, bool enabled)
    : start_(Clock::now()),
      total_files_(total_files),
      total_bytes_(total_bytes),
      enabled_(enabled) {}

void Progress::draw(size_t done, uint64_t bytes, std::string_view current, bool final) {
  const Clock::time_point now = Clock::now();
  last_draw_ = now;
  const std::chrono::duration<double> elapsed = now - start_;
  std::string text(ERASE_LINE);
  text += progress_line(done, total_files_, bytes, total_bytes_, elapsed.count(), current, final,
                        line_width());
  if (final) text += '\n';
  print_err_text(text);
  drawn_ = !final;
}

void Progress::show(size_t done, uint64_t bytes, std::string_view current) {
  if (!enabled_) return;
  if (drawn_ && Clock::now() - last_draw_ < std::chrono::milliseconds(100)) return;
  draw(done, bytes, current, false);
}

void Progress::clear() {
  if (!enabled_ || !drawn_) return;
  print_err_text(ERASE_LINE);
  drawn_ = false;
}

void Progress::finish(size_t done, uint64_t bytes) {
  if (!enabled_) return;
  draw(done, bytes, "", true);
}

}  // namespace vorn::cli
