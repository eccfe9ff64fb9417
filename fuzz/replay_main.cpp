// Runs a fuzz target's entry point on files, without libFuzzer: every file named on the command
// line, and every regular file inside a directory named there, once each. A machine without clang
// still checks the committed seeds this way; a failed check aborts as it would under the fuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool run_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  // An exact-size copy, as libFuzzer gives one: a read past the end is then out of bounds.
  const std::vector<uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t files = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      std::vector<std::filesystem::path> paths;
      for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
        if (entry.is_regular_file()) paths.push_back(entry.path());
      }
      if (ec) {
        std::fprintf(stderr, "replay: cannot list %s: %s\n", argv[i], ec.message().c_str());
        ok = false;
      }
      for (const auto& path : paths) {
        ok = run_file(path) && ok;
        ++files;
      }
    } else {
      ok = run_file(arg) && ok;
      ++files;
    }
  }
  std::printf("replayed %zu inputs\n", files);
  return ok ? 0 : 1;
}
