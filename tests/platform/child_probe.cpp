// A child for the launcher's contract tests, in plain C++ so that every
// system's implementation is held to the same cases. It runs its arguments
// as steps, in order:
//   out TEXT, err TEXT   write TEXT to standard output or error
//   report TEXT          write TEXT to the report descriptor (kChildReportFd)
//   sleep MS             wait
//   cat                  copy standard input to standard output
//   env NAME             write the variable's value, or "(none)"
//   alloc MIB            write "allocated" or "no memory"
//   flood BYTES          write that many bytes to standard output
//   terminal             write whether standard output is a terminal, and its width
//   exit N               end with status N
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "child_launcher.h"
#include "terminal.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string step = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (step == "out" || step == "err") {
      std::FILE* to = step == "out" ? stdout : stderr;
      std::fputs(value, to);
      std::fflush(to);
      ++i;
    } else if (step == "report") {
      std::FILE* to = fdopen(kChildReportFd, "w");
      if (to != nullptr) std::fputs(value, to);
      if (to != nullptr) std::fclose(to);
      ++i;
    } else if (step == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(value)));
      ++i;
    } else if (step == "cat") {
      char buffer[4096];
      std::size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
        std::fwrite(buffer, 1, n, stdout);
      std::fflush(stdout);
    } else if (step == "env") {
      const char* found = std::getenv(value);
      std::fputs(found != nullptr ? found : "(none)", stdout);
      std::fflush(stdout);
      ++i;
    } else if (step == "alloc") {
      const std::size_t bytes = static_cast<std::size_t>(std::atol(value)) << 20;
      std::unique_ptr<char[]> block(new (std::nothrow) char[bytes]);
      if (block) std::memset(block.get(), 1, bytes);
      std::fputs(block ? "allocated" : "no memory", stdout);
      std::fflush(stdout);
      ++i;
    } else if (step == "flood") {
      const std::string chunk(65536, 'x');
      for (long left = std::atol(value); left > 0; left -= 65536)
        std::fwrite(chunk.data(), 1, left < 65536 ? left : 65536, stdout);
      std::fflush(stdout);
      ++i;
    } else if (step == "terminal") {
      std::printf("%s %d", IsTerminal(StandardStream::kOutput) ? "terminal" : "not a terminal",
                  TerminalColumns(StandardStream::kOutput));
      std::fflush(stdout);
    } else if (step == "exit") {
      return std::atoi(value);
    }
  }
  return 0;
}
