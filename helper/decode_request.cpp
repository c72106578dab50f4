#include "helper/decode_request.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "helper/frame_decode.h"
#include "platform/confinement.h"
#include "platform/pipe_pages.h"
#include "status/decoder_status.h"

namespace {

constexpr int kMostThreads = 1024;

}  // namespace

bool ReadDecodeRequest(int argc, char** argv, DecodeRequest& options, std::string& why) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--library-decoders") {
      options.libraryDecoders = true;
    } else if ((option == "--threads" || option == "--self-test") && i + 1 < argc) {
      const char* value = argv[++i];
      if (option == "--self-test") {
        options.selfTest = value;
        continue;
      }
      char* end = nullptr;
      const long n = std::strtol(value, &end, 10);
      if (*value == '\0' || *end != '\0' || n < 1 || n > kMostThreads) {
        why = "--threads takes 1 to " + std::to_string(kMostThreads) + ", not " + value;
        return false;
      }
      options.threads = static_cast<int>(n);
    } else {
      why = "unknown option " + option;
      return false;
    }
  }
  return true;
}

int DecodeInOrder(const Input& input, int threads, std::size_t memoryLeft, const GdcmCall& gdcm) {
  const FrameDecodeOutcome frames =
      DecodeFramesToStandardOutput(input.data, input.size, threads, memoryLeft);
  if (frames.damaged) return Fail(kHelperUndecodable, frames.why);
  switch (frames.result) {
    case FrameDecodeOutcome::kWritten:
      return frames.lossy.empty() ? kHelperDecoded : Fail(kHelperDecodedLossy, frames.lossy);
    case FrameDecodeOutcome::kWriteFailed:
      return Fail(kHelperCannotWrite, frames.why);
    case FrameDecodeOutcome::kNotHandled:
      return gdcm(true);
    case FrameDecodeOutcome::kFailedBeforeOutput:
      if (!frames.framesMissing) return gdcm(true);
      break;
    case FrameDecodeOutcome::kFailedAfterOutput:
      break;
  }
  const int verdict = gdcm(false);
  return verdict != kHelperDecoded ? verdict : Fail(kHelperUndecodable, frames.why);
}

int RunSelfTest(const std::string& check, const std::string& identity) {
  if (check == "ids") {
    return WriteAllToStandardOutput(identity.data(), identity.size()) ? kHelperDecoded
                                                                      : kHelperCannotWrite;
  }
  if (check == "thread" || check == "thread-memory") {
    // A thread as the decoding ones are made; with "thread-memory" it asks
    // for more than the address-space limit leaves.
    const bool memory = check == "thread-memory";
    bool got = false;
    try {
      std::thread([memory, &got] {
        if (!memory) return;
        void* block = std::malloc(std::size_t{640} << 20);
        got = block != nullptr;
        std::free(block);
      }).join();
    } catch (const std::system_error&) {
      return Fail(kHelperSelfTestFailed, "no thread");
    }
    const char* said = memory ? (got ? "640 MiB given\n" : "640 MiB refused\n") : "thread joined\n";
    return WriteAllToStandardOutput(said, std::strlen(said)) ? kHelperDecoded : kHelperCannotWrite;
  }
  const struct {
    const char* name;
    ForbiddenCall call;
  } kForbidden[] = {
      {"fork", ForbiddenCall::kNewProcess},
      {"open", ForbiddenCall::kOpenFile},
      {"socket", ForbiddenCall::kSocket},
      {"exec", ForbiddenCall::kRunProgram},
      {"exec-memory", ForbiddenCall::kExecutableMemory},
      {"map-file", ForbiddenCall::kFileMapping},
  };
  for (const auto& forbidden : kForbidden) {
    if (check != forbidden.name) continue;
    TryForbiddenCall(forbidden.call);
    return Fail(kHelperSelfTestFailed, check + " was allowed");
  }
  return Fail(kHelperSelfTestUnknown, "unknown self-test " + check);
}
