#include "cli/args.h"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <thread>

#include "cli/common.h"

namespace vorn::cli {

namespace {

class Parser {
 public:
  Parser(const std::vector<std::string_view>& args, std::initializer_list<OptionSpec> specs)
      : args_(args), specs_(specs) {}

  ParsedArgs run() {
    bool options_done = false;
    for (i_ = 0; i_ < args_.size() && !out_.error; ++i_) {
      const std::string_view a = args_[i_];
      if (options_done || a.size() < 2 || a[0] != '-') {
        out_.positional.push_back(a);
      } else if (a == "--") {
        options_done = true;
      } else if (a[1] == '-') {
        long_option(a.substr(2));
      } else {
        short_option(a);
      }
    }
    return std::move(out_);
  }

 private:
  const OptionSpec* find_long(std::string_view name) const {
    for (const OptionSpec& s : specs_)
      if (s.long_name == name) return &s;
    return nullptr;
  }
  const OptionSpec* find_short(char c) const {
    for (const OptionSpec& s : specs_)
      if (s.short_name == c) return &s;
    return nullptr;
  }

  // The value of an option that needs one: the glued text, or the next word.
  void take_value(const OptionSpec& option, std::optional<std::string_view> glued,
                  std::string_view shown) {
    if (glued) {
      out_.options.emplace_back(option.long_name, *glued);
    } else if (i_ + 1 < args_.size()) {
      out_.options.emplace_back(option.long_name, args_[++i_]);
    } else {
      out_.error = cat({"option '", shown, "' needs a value"});
    }
  }

  void long_option(std::string_view body) {
    const size_t eq = body.find('=');
    const std::string_view name = body.substr(0, eq);
    if (name == "help" && eq == std::string_view::npos) {
      out_.help = true;
      return;
    }
    const OptionSpec* option = find_long(name);
    const std::string shown = cat({"--", name});
    if (option == nullptr) {
      out_.error = cat({"unknown option '", shown, "'"});
    } else if (!option->takes_value && eq != std::string_view::npos) {
      out_.error = cat({"option '", shown, "' takes no value"});
    } else if (!option->takes_value) {
      out_.options.emplace_back(option->long_name, std::string_view{});
    } else if (eq != std::string_view::npos) {
      take_value(*option, body.substr(eq + 1), shown);
    } else {
      take_value(*option, std::nullopt, shown);
    }
  }

  // "-h", "-o OUT", "-oOUT", "-qf", "-qj2": flags one after the other, up to an option that
  // takes a value, which takes the rest of the word or the next word.
  void short_option(std::string_view a) {
    for (size_t at = 1; at < a.size() && !out_.error; ++at) {
      const std::string shown = cat({"-", a.substr(at, 1)});
      if (a[at] == 'h') {
        out_.help = true;
        continue;
      }
      const OptionSpec* option = find_short(a[at]);
      if (option == nullptr) {
        out_.error = cat({"unknown option '", shown, "'"});
      } else if (!option->takes_value) {
        out_.options.emplace_back(option->long_name, std::string_view{});
      } else {
        const bool glued = at + 1 < a.size();
        take_value(*option, glued ? std::optional(a.substr(at + 1)) : std::nullopt, shown);
        return;
      }
    }
  }

  const std::vector<std::string_view>& args_;
  std::initializer_list<OptionSpec> specs_;
  ParsedArgs out_;
  size_t i_ = 0;
};

}  // namespace

bool ParsedArgs::has(std::string_view name) const { return value(name).has_value(); }

std::optional<std::string_view> ParsedArgs::value(std::string_view name) const {
  std::optional<std::string_view> found;
  for (const auto& [key, val] : options)
    if (key == name) found = val;
  return found;
}

ParsedArgs parse_args(const std::vector<std::string_view>& args,
                      std::initializer_list<OptionSpec> specs) {
  return Parser(args, specs).run();
}

std::optional<unsigned> parse_count(std::string_view text, unsigned max) {
  unsigned n = 0;
  const char* end = text.data() + text.size();
  const auto res = std::from_chars(text.data(), end, n);
  if (text.empty() || res.ec != std::errc{} || res.ptr != end || n > max) return std::nullopt;
  return n;
}

namespace {

// The processors this process may run on (its affinity mask), at least one.
unsigned processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

}  // namespace

Jobs parse_jobs(const ParsedArgs& parsed) {
  Jobs jobs;
  const auto text = parsed.value("jobs");
  if (!text) {
    jobs.count = std::min(processors(), MAX_JOBS);
    return jobs;
  }
  const auto n = parse_count(*text, MAX_JOBS);
  if (!n) {
    jobs.error =
        cat({"-j takes a number from 0 to ", std::to_string(MAX_JOBS), " (0: one per processor)"});
  } else {
    jobs.count = *n == 0 ? std::min(processors(), MAX_JOBS) : *n;
  }
  return jobs;
}

}  // namespace vorn::cli
