// The four subcommands. Each takes the words after its name and returns the exit status.
#pragma once

#include "cli/args.h"
#include "cli/common.h"

namespace vorn::cli {

int run_encode(const Args& args);
int run_decode(const Args& args);
int run_inspect(const Args& args);
int run_stats(const Args& args);

}  // namespace vorn::cli
