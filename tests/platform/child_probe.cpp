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
//   pid                  write its process id
//   spawn STEPS...       run a probe of its own with the steps that follow,
//                        its output relayed as it comes; end with its status
//   space-left           write how the address space left stands to the
//                        limit
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_launcher.h"
#include "platform/process_limits.h"
#include "platform/program_folder.h"
#include "platform/terminal.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// after windows.h
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace {

// The arguments as UTF-8, as the programs read theirs: on Windows from the
// UTF-16 command line (the C runtime's argv holds the code page's text).
std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  for (int i = 0; wide != nullptr && i < count; ++i) {
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1)
      ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &text[0], bytes, nullptr, nullptr);
    arguments.push_back(text);
  }
  ::LocalFree(wide);
  return arguments;
#else
  return std::vector<std::string>(argv, argv + argc);
#endif
}

unsigned long ProcessId() {
#ifdef _WIN32
  return ::GetCurrentProcessId();
#else
  return static_cast<unsigned long>(::getpid());
#endif
}

// Writes a child's output to ours as it comes.
class Relay : public ChildOutputSink {
 public:
  bool Room(char*& at, std::size_t& bytes) override {
    at = buffer_;
    bytes = sizeof buffer_;
    return true;
  }
  void Took(std::size_t bytes) override {
    std::fwrite(buffer_, 1, bytes, stdout);
    std::fflush(stdout);
  }

 private:
  char buffer_[4096];
};

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Bytes as they are: in text mode "\r\n" would become "\n" and 0x1A the end.
  ::_setmode(::_fileno(stdin), _O_BINARY);
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
#endif
  const std::vector<std::string> arguments = Arguments(argc, argv);
  const int count = static_cast<int>(arguments.size());
  for (int i = 1; i < count; ++i) {
    const std::string step = arguments[i];
    const char* value = i + 1 < count ? arguments[i + 1].c_str() : "";
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
    } else if (step == "pid") {
      std::printf("%lu", ProcessId());
      std::fflush(stdout);
    } else if (step == "spawn") {
      Relay relay;
      ChildRun run;
      run.argv = {ProgramBeside("child_probe")};
      run.argv.insert(run.argv.end(), arguments.begin() + i + 1, arguments.end());
      run.output = &relay;
      run.deadlineMilliseconds = 60000;
      const ChildEnd end = RunChildProgram(run);
      if (end.startFailure != StartFailure::kNone)
        std::fprintf(stderr, "spawn failed at %s: %s", end.step != nullptr ? end.step : "exec",
                     std::strerror(end.error));
      return end.exitCode;
    } else if (step == "space-left") {
      const std::size_t left = AddressSpaceLeft();
      const std::uint64_t limit = ProcessLimitOf(ProcessLimit::kAddressSpaceBytes).soft;
      std::fputs(left == 0                  ? "no limit"
                 : left > 1 && left < limit ? "left below the limit"
                                            : "left beyond the limit",
                 stdout);
      std::fflush(stdout);
    } else if (step == "exit") {
      return std::atoi(value);
    }
  }
  return 0;
}
