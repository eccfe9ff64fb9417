// vorn: converts JSON files to VORN images and back, and shows what is inside an image.

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <new>
#include <string_view>
#include <thread>

#include "cli/commands.h"
#include "io/file_io.h"

#ifndef VORN_VERSION
#error "the build passes the version of pyproject.toml as VORN_VERSION"
#endif

namespace vorn::cli {
namespace {

constexpr std::string_view HELP = R"(usage: vorn COMMAND [OPTIONS] [FILE...]
       vorn help COMMAND | --help | --version

Converts JSON text to VORN, a compact binary format that carries its own
schema, and back, and shows what an image holds. A FILE of '-' is standard
input; encode, decode and stats read standard input when no FILE is named and
it is not a terminal.

commands:
  encode IN.json... [-o OUT] [-f] [--exact] [--lines] [-j N] [-q]
                        compile JSON files to VORN images (IN.vorn beside each,
                        OUT, OUT/IN.vorn, or '-o -' for standard output)
  decode IN.vorn... [-o OUT] [-f] [--indent N] [--lines] [-j N] [-q]
                        write images back as JSON text (standard output, OUT or
                        OUT/IN.json)
  inspect IN.vorn [--json] [--sizes] [--html REPORT.html]
                        show the header, definitions, dictionary and entries of
                        an image, or where its bytes go
  stats [IN.json...] [--json] [--exact] [--lines] [-j N] [-q]
                        sizes, ratio, counts and whether each file round-trips
  help COMMAND          the same as 'vorn COMMAND --help'

options:
  -o, --output OUT      the output file, a directory (OUT/), or '-'
  -f, --force           replace existing output files (atomically)
  --exact               refuse a document that would not read back as the same
                        value, naming the first value that would change
  --lines               JSON Lines: one image entry per line of JSON text
  --indent N            indented JSON text (decode)
  --json                a JSON report (inspect, stats)
  --sizes               the bytes of an image by block, definition and kind
                        (inspect)
  --html REPORT.html    the same as a self-contained HTML page (inspect)
  -j, --jobs N          work on N files at once (default: one per processor)
  -q, --quiet           no progress and no count of failed files
  -h, --help            show this help
  -V, --version         print the version

exit status: 0 success, 1 a data error (bad input, a refused document, a failed
read or write), 2 a usage error, 128 + n after signal n. Messages on standard error begin with "vorn:".
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

const Command* find_command(std::string_view name) {
  for (const Command& cmd : COMMANDS) {
    if (cmd.name == name) return &cmd;
  }
  return nullptr;
}

int unknown_command(std::string_view name) {
  print_error(cat({"unknown command '", name, "' (see 'vorn --help')"}));
  return STATUS_USAGE_ERROR;
}

// "vorn help" and "vorn help COMMAND".
int help(int argc, char** argv) {
  if (argc < 3) return print_help(HELP);
  if (argc > 3) {
    print_error("help takes one command (see 'vorn --help')");
    return STATUS_USAGE_ERROR;
  }
  const Command* cmd = find_command(argv[2]);
  if (cmd == nullptr) return unknown_command(argv[2]);
  return cmd->run({"--help"});
}

int dispatch(int argc, char** argv) {
  if (argc < 2) {
    print_error("no command given (see 'vorn --help')");
    return STATUS_USAGE_ERROR;
  }
  const std::string_view name = argv[1];
  if (name == "-h" || name == "--help") return print_help(HELP);
  if (name == "help") return help(argc, argv);
  if (name == "-V" || name == "--version") {
    return print_out("vorn " VORN_VERSION "\n") ? STATUS_OK : STATUS_DATA_ERROR;
  }
  const Command* cmd = find_command(name);
  if (cmd == nullptr) return unknown_command(name);
  Args args;
  args.reserve(static_cast<size_t>(argc - 2));
  for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
  return cmd->run(args);
}

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no file the
// command opens becomes its standard input, output or error and gets another file's text. False
// when that cannot be done.
bool open_standard_descriptors() {
  for (int fd = 0; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower ones are open, so the lowest free descriptor is this one.
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened != fd) return false;
  }
  return true;
}

// The signals that end the command; each removes the temporary files of the run first.
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Waits for an ending signal on a thread of its own, with the signals blocked in every other
// thread (the workers inherit the mask), so that the cleanup may take locks and free nothing in
// a signal handler: it removes every temporary file, then ends the process by the same signal,
// so that the shell sees the status it expects (128 + the signal's number). A signal ignored
// when the command started (nohup) stays ignored.
void handle_ending_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : ENDING_SIGNALS) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaddset(&set, sig);
  }
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  try {
    std::thread([set] {
      int sig = 0;
      while (::sigwait(&set, &sig) != 0) {
      }
      vorn::remove_temporary_files();
      std::signal(sig, SIG_DFL);
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, sig);
      ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
      ::raise(sig);
      ::_exit(128 + sig);  // not reached: the default action of the signal ends the process
    }).detach();
  } catch (const std::exception&) {
    // Without the thread the signals end the command as they would have, temporary files left.
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

}  // namespace
}  // namespace vorn::cli

int main(int argc, char** argv) {
  if (!vorn::cli::open_standard_descriptors()) return vorn::cli::STATUS_DATA_ERROR;
  // A reader that goes away (`vorn decode x.vorn | head`) and a file size limit are write
  // errors that the command reports and ends on, not signals that end it without a word.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  vorn::cli::handle_ending_signals();
  vorn::umask_is_fixed();  // the command never changes it
  try {
    return vorn::cli::dispatch(argc, argv);
  } catch (const std::bad_alloc&) {
    vorn::cli::print_error("out of memory");
  } catch (const std::exception& e) {
    vorn::cli::print_error(std::string("internal error: ") + e.what());
  }
  return vorn::cli::STATUS_DATA_ERROR;
}
