// Command-line parsing for the subcommands: options with or without a value, positional
// arguments, "--" to end the options, and usage errors as values.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::cli {

struct OptionSpec {
  std::string_view long_name;  // without the leading "--"
  char short_name = 0;         // 0 when the option has no short form
  bool takes_value = false;
};

// The options that every command working through several files understands.
inline constexpr OptionSpec OPT_OUTPUT{"output", 'o', true};
inline constexpr OptionSpec OPT_FORCE{"force", 'f', false};
inline constexpr OptionSpec OPT_QUIET{"quiet", 'q', false};
inline constexpr OptionSpec OPT_JOBS{"jobs", 'j', true};
inline constexpr OptionSpec OPT_LINES{"lines", 0, false};
inline constexpr OptionSpec OPT_EXACT{"exact", 0, false};
inline constexpr OptionSpec OPT_JSON{"json", 0, false};

// The outcome of parsing one subcommand's arguments. `error` is set for a usage error and then
// nothing else is meaningful.
struct ParsedArgs {
  std::vector<std::string_view> positional;
  std::vector<std::pair<std::string_view, std::string_view>> options;  // long name, value
  bool help = false;
  std::optional<std::string> error;

  bool has(std::string_view name) const;
  // The last value given for `name`, if any.
  std::optional<std::string_view> value(std::string_view name) const;
};

// Parses `args` (the words after the subcommand name) against `specs`. "-h" and "--help" are
// always understood. Long options take their value as "--name=VALUE" or as the next word,
// short ones as the next word or glued on ("-oOUT", "-j4"). Short flags may be bundled ("-qf");
// in a bundle, an option that takes a value takes the rest of the word. A lone "-" is
// positional.
ParsedArgs parse_args(const std::vector<std::string_view>& args,
                      std::initializer_list<OptionSpec> specs);

// Reads a whole non-negative decimal number no larger than `max`, or nothing.
std::optional<unsigned> parse_count(std::string_view text, unsigned max);

// The number of files to work on at once: the value of -j/--jobs (1 to MAX_JOBS, or 0 for the
// number of processors this process may run on), or that number of processors when the option
// is absent. A usage error as its message.
struct Jobs {
  unsigned count = 1;
  std::optional<std::string> error;
};
Jobs parse_jobs(const ParsedArgs& parsed);

inline constexpr unsigned MAX_JOBS = 256;

}  // namespace vorn::cli
