// Works through the inputs of a command on several threads at once, and prints what each file's
// work leaves for the standard streams in input order: the output, the messages and the exit
// status are those of one file after the other, whatever the number of threads.
#pragma once

#include <cstddef>
#include <functional>

#include "cli/common.h"

namespace vorn::cli {

struct BatchSettings {
  unsigned jobs = 1;      // files worked on at once; 1 works on this thread alone
  bool progress = false;  // draw progress on standard error (a terminal)
};

// The work on input `index`: fills the report, and adds the size of the input to `bytes` once
// it has read it. Runs on any thread; the library's core keeps no state between calls. An
// allocation failure (std::bad_alloc) fails that file alone with "{name}: out of memory".
using FileWork = std::function<void(size_t index, Report& report, uint64_t& bytes)>;

// Prints the output of input `index` on standard output, in whatever frame the command needs
// (separators, brackets): its report's `out` (not empty), or what waits for it elsewhere when
// the report says so. False stops the batch: standard output is gone.
using EmitOut = std::function<bool(size_t index, std::string_view out)>;

struct BatchOutcome {
  size_t failed = 0;     // files whose report failed
  bool stopped = false;  // standard output failed and the batch stopped there
};

// Runs `work` for each of `inputs`, and prints each report in input order: its `out` through
// `emit`, then its `err`.
BatchOutcome run_batch(const Args& inputs, const BatchSettings& settings, const FileWork& work,
                       const EmitOut& emit);

// The exit status of a finished batch: 0 when every file succeeded; else 1, after
// "vorn: {failed} of {total} files failed" when there were several files and not `quiet`.
int batch_status(const BatchOutcome& outcome, size_t total, bool quiet);

}  // namespace vorn::cli
