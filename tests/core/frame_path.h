// The decoder helper's frame path (frame_decode.h) run in the test's own
// process, where the sanitizer build checks it: the helper itself runs
// without the sanitizers.
#pragma once

#ifdef _WIN32
#include <io.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <string>
#include <vector>

#include "helper/frame_decode.h"

struct FramePathRun {
  FrameDecodeOutcome outcome;
  std::string output;  // what it wrote to standard output
};

// Decodes a copy of exactly the input's bytes (a read past them is seen),
// with standard output captured meanwhile.
inline FramePathRun RunFramePath(const std::string& bytes, int threads = 2) {
  const std::vector<char> input(bytes.begin(), bytes.end());
  std::fflush(stdout);
  FramePathRun run;
#ifdef _WIN32
  // A temporary file as descriptor 1: the C runtime's dup2 makes it the
  // standard output handle too, which the frame path writes.
  std::FILE* file = std::tmpfile();
  const int saved = ::_dup(1);
  if (file == nullptr || saved < 0 || ::_dup2(::_fileno(file), 1) < 0) {
    run.outcome.why = "cannot capture standard output";
    return run;
  }
  run.outcome = DecodeFramesToStandardOutput(input.data(), input.size(), threads);
  ::_dup2(saved, 1);
  ::_close(saved);
  std::fseek(file, 0, SEEK_END);
  const long size = std::ftell(file);
  std::rewind(file);
  run.output.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
  if (size > 0 && std::fread(&run.output[0], 1, run.output.size(), file) != run.output.size())
    run.output.clear();
  std::fclose(file);
#else
  const int saved = ::dup(1);
  const int capture = ::memfd_create("frames", 0);
  if (saved < 0 || capture < 0 || ::dup2(capture, 1) < 0) {
    run.outcome.why = "cannot capture standard output";
    return run;
  }
  run.outcome = DecodeFramesToStandardOutput(input.data(), input.size(), threads);
  ::dup2(saved, 1);
  ::close(saved);
  const off_t size = ::lseek(capture, 0, SEEK_END);
  run.output.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
  if (size > 0 && ::pread(capture, &run.output[0], run.output.size(), 0) != size)
    run.output.clear();
  ::close(capture);
#endif
  return run;
}
