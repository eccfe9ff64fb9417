// vorn: converts JSON files to VORN images and back, and shows what is inside an image.

#include <cstdio>
#include <exception>
#include <new>
#include <string_view>

#include "cli/commands.h"

namespace vorn::cli {
namespace {

constexpr std::string_view HELP = R"(usage: vorn COMMAND [OPTIONS] FILE...

Converts JSON files to VORN, a compact binary format that carries its own schema,
and back, and shows what an image holds.

commands:
  encode IN.json... [-o OUT]          compile JSON files to VORN images
  decode IN.vorn [-o OUT.json] [--indent N]
                                      write an image back as JSON text
  inspect IN.vorn [--json]            show the header, definitions, dictionary and
                                      entries of an image
  stats IN.json...                    sizes, ratio, counts and whether each file
                                      round-trips exactly

'vorn COMMAND --help' tells more about each command.

exit status: 0 success, 1 a data error (bad input or a failed read or write),
2 a usage error. Messages on standard error begin with "vorn:".
)";

struct Command {
  std::string_view name;
  int (*run)(const Args&);
};

constexpr Command COMMANDS[] = {
    {"encode", &run_encode},
    {"decode", &run_decode},
    {"inspect", &run_inspect},
    {"stats", &run_stats},
};

int dispatch(int argc, char** argv) {
  if (argc < 2) {
    print_error("no command given (see 'vorn --help')");
    return STATUS_USAGE_ERROR;
  }
  const std::string_view name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") return print_help(HELP);
  for (const Command& cmd : COMMANDS) {
    if (cmd.name != name) continue;
    Args args;
    args.reserve(static_cast<size_t>(argc - 2));
    for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
    return cmd.run(args);
  }
  print_error(cat({"unknown command '", name, "' (see 'vorn --help')"}));
  return STATUS_USAGE_ERROR;
}

}  // namespace
}  // namespace vorn::cli

int main(int argc, char** argv) {
  try {
    return vorn::cli::dispatch(argc, argv);
  } catch (const std::bad_alloc&) {
    vorn::cli::print_error("out of memory");
  } catch (const std::exception& e) {
    vorn::cli::print_error(std::string("internal error: ") + e.what());
  }
  return vorn::cli::STATUS_DATA_ERROR;
}
