// Where each input's result goes (a file beside it, a named file, a directory, standard
// output), and the refusals made before anything is written: an output that is the input
// itself, an existing file without -f, a binary image for a terminal.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/common.h"
#include "format/result.h"

namespace vorn::cli {

// How a command names its outputs.
struct OutputNaming {
  // The input endings that the output ending replaces: ".json", ".jsonl"; any other name gets
  // the output ending added.
  std::span<const std::string_view> from_ext;
  std::string_view to_ext;  // ".vorn"
  // Without -o: standard output for every input (decode), rather than a file beside each
  // input and standard output for standard input (encode).
  bool default_stdout = false;
};

struct OutputPlan {
  std::vector<std::string> targets;  // one per input; "-" is standard output
  std::string directory;             // a directory to create before the first write, or empty
  std::optional<std::string> error;  // a usage error
};

// Names the output of each input. `out` is the value of -o: "-" for standard output (one
// input only, unless the naming sends everything there anyway); a directory when it ends with
// '/' or exists as one, which it must with several inputs (a usage error otherwise); else the
// output file of the one input. Standard input ("-") may be named once and has no name to take
// into a directory.
OutputPlan plan_outputs(const Args& inputs, std::optional<std::string_view> out,
                        const OutputNaming& naming);

// Creates the plan's directory and its parents when it has one. False, after
// "vorn: {dir}: {error}", when that fails.
bool make_output_dir(const OutputPlan& plan);

// The checks on one output before its input is read: "{input}: output is the input file" when
// both name the same file (device and inode, through links), and without `force`
// "{target}: already exists; use -f to replace it" when the target is an existing regular file
// (a FIFO or a device is written in place). The target "-" is checked against the input when
// standard output is a regular file.
Status check_target(std::string_view input, std::string_view target, bool force);

// True when some target is standard output and that is a terminal.
bool image_for_terminal(const OutputPlan& plan);

// The refusal of image_for_terminal, printed; returns STATUS_USAGE_ERROR.
int refuse_terminal();

}  // namespace vorn::cli
