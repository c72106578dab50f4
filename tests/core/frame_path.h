// The decoder helper's frame path (frame_decode.h) run in the test's own
// process, where the sanitizer build checks it: the helper itself runs
// without the sanitizers.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

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
  const int saved = ::dup(1);
  const int capture = ::memfd_create("frames", 0);
  FramePathRun run;
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
  return run;
}
