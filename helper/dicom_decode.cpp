// dicom-decode: rewrites the DICOM file open on standard input as explicit VR
// little endian with raw pixel data, on standard output. The converter spawns
// it for every transfer syntax it does not read itself (compressed,
// big-endian, deflated, no Part 10 preamble), so that a decoder crash, hang
// or runaway allocation costs this process only. It takes the whole input
// first, then confines itself (sandbox.h) before any decoder sees a byte of
// it.
//
// JPEG, JPEG-LS, JPEG 2000 and RLE studies go the frames' way
// (frame_decode.h): each frame decoded by its codec library, on as many
// threads as there are cores, into the pixel data of a copy whose header is
// the file's own. Everything else, and every file that way fails on, goes to
// GDCM, which rewrites the whole data set (dicom-decode-gdcm): its verdict
// and its words are then the helper's, as they always were. GDCM runs in a
// standby child made before the filter, which waits for one byte and then
// becomes dicom-decode-gdcm; this process, once confined, can make no
// process and run no program.
//
// Options (the converter's): --threads N decodes N frames at once (else one
// per core), within what the address-space limit leaves; --library-decoders
// leaves every frame to the codec libraries (IJG, CharLS, OpenJPEG), never
// the helper's own JPEG lossless and JPEG-LS decoders.
//
// Exit status: 0 written; 2 GDCM cannot read the file; 3 the pixel data
// cannot be decoded; 4 out of memory; 5 cannot write; 6 the pixel data end
// early (GDCM would pad them with zeros); 7 the sandbox cannot be set up or
// the input cannot be read; 8 written, but a frame's codestream is lossy
// whatever the transfer syntax says (its words on standard error). The
// reason, in the decoder's own words where it has them, is one line on
// standard error. Killed by a signal, GDCM's child ends this process by the
// same signal.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "helper/decode_threads.h"
#include "helper/frame_codecs.h"
#include "helper/frame_decode.h"
#include "helper/helper_process.h"
#include "helper/sandbox.h"
#include "platform/confinement.h"
#include "platform/default_signals.h"
#include "platform/heap_tuning.h"
#include "platform/held_program.h"
#include "platform/pipe_pages.h"
#include "platform/process_id.h"
#include "platform/process_limits.h"
#include "platform/process_privileges.h"
#include "platform/program_folder.h"
#include "platform/standard_input.h"
#include "platform/standby_child.h"
#include "platform/usable_cores.h"
#include "status/decoder_status.h"

namespace {

constexpr const char* kGdcmHelperName = "dicom-decode-gdcm";
constexpr int kMostThreads = 1024;

// What the converter asks for on the command line.
struct Options {
  int threads = 0;  // 0: one per core
  bool libraryDecoders = false;
  const char* selfTest = nullptr;
};

bool ReadOptions(int argc, char** argv, Options& options, std::string& why) {
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

// dicom-decode-gdcm, opened while this process still runs as its caller:
// beside this program as the kernel resolved it, else where the build
// installs it; never a name looked up in PATH. It is run through the
// descriptor once the user has changed (DropPrivileges): that user may not
// enter the caller's folder (a clone made with mktemp -d, /root), and no
// path is looked up after the change.
struct GdcmHelper {
  int fd = -1;         // held (held_program.h); -1 when no place held it
  std::string path;    // where it was found: its argv[0]
  std::string looked;  // every place tried, when none held it
};

GdcmHelper OpenGdcmHelper() {
  GdcmHelper helper;
  std::vector<std::string> places;
  const std::string folder = ProgramFolder();
  if (!folder.empty()) places.push_back(folder + "/" + kGdcmHelperName);
  if (places.empty() || places[0] != DGC_DECODER_GDCM_PATH) places.push_back(DGC_DECODER_GDCM_PATH);
  for (const std::string& path : places) {
    const int fd = HoldProgram(path);
    if (fd >= 0) {
      helper.fd = fd;
      helper.path = path;
      return helper;
    }
    helper.looked += (helper.looked.empty() ? "" : ", ") + path;
  }
  return helper;
}

// Becomes dicom-decode-gdcm (with --verdict: its verdict only); returns why
// it could not.
std::string RunGdcmHelper(const GdcmHelper& helper, bool verdictOnly) {
  if (helper.fd < 0)
    return std::string("the decoder cannot start ") + kGdcmHelperName + " (looked for " +
           helper.looked + ")";
  std::vector<std::string> argv = {helper.path};
  if (verdictOnly) argv.push_back("--verdict");
  const int error = RunHeldProgram(helper.fd, argv);
  return "the decoder cannot start " + helper.path + ": " + std::strerror(error);
}

// The child that becomes GDCM's helper when asked: made before the filter,
// as the user the helper runs as, tied to this process's end. It reads one
// byte: 'G' to decode, 'V' for the verdict only; end of file, it ends.
StandbyChild StartStandby(const GdcmHelper& helper) {
  return StartStandbyChild([&helper](char mode) {
    return Fail(kHelperCannotStart, RunGdcmHelper(helper, mode == 'V'));
  });
}

// Hands the file to GDCM and ends as GDCM's child ends: its status, or its
// signal.
int AskGdcm(const StandbyChild& standby, char mode) {
  if (standby.pid < 0)
    return Fail(kHelperCannotStart, "the decoder cannot start GDCM (no process for it)");
  int error = 0;
  if (!WakeStandbyChild(standby, mode, error))
    return Fail(kHelperCannotStart,
                "the decoder cannot start GDCM: " + std::string(std::strerror(error)));
  const StandbyEnd end = WaitForStandbyChild(standby);
  if (!end.reaped) return Fail(kHelperCannotStart, "the decoder lost GDCM's process");
  if (end.signal == 0) return end.exitCode;
  EndBySignal(end.signal);
  return Fail(kHelperUndecodable, "GDCM's process ended by signal " + std::to_string(end.signal));
}

// Frames first; GDCM for what that way does not take, and for the verdict
// on what it fails: a damaged file is refused with GDCM's words, as before.
// Frames missing from the pixel data are refused even where GDCM would
// fill them in, and once frames are out a file GDCM would decode is refused
// with the frame's own words rather than written twice. A frame its codec
// found damaged is refused with the codec's words: GDCM, which lets a
// warning pass, would write made-up samples.
int Decode(const Input& input, int threads, std::size_t memoryLeft, const StandbyChild& gdcm) {
  const FrameDecodeOutcome frames =
      DecodeFramesToStandardOutput(input.data, input.size, threads, memoryLeft);
  if (frames.damaged) return Fail(kHelperUndecodable, frames.why);
  switch (frames.result) {
    case FrameDecodeOutcome::kWritten:
      return frames.lossy.empty() ? kHelperDecoded : Fail(kHelperDecodedLossy, frames.lossy);
    case FrameDecodeOutcome::kWriteFailed:
      return Fail(kHelperCannotWrite, frames.why);
    case FrameDecodeOutcome::kNotHandled:
      return AskGdcm(gdcm, 'G');
    case FrameDecodeOutcome::kFailedBeforeOutput:
      if (!frames.framesMissing) return AskGdcm(gdcm, 'G');
      break;
    case FrameDecodeOutcome::kFailedAfterOutput:
      break;
  }
  const int verdict = AskGdcm(gdcm, 'V');
  return verdict != kHelperDecoded ? verdict : Fail(kHelperUndecodable, frames.why);
}

// dicom-decode --self-test CHECK confines itself as for a decode (with no
// input), then: "ids" writes the identity it was confined under; the other
// checks try what the filter forbids, and end by SIGSYS where it holds.
int SelfTest(const std::string& check, const std::string& identity) {
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

}  // namespace

int main(int argc, char** argv) {
  const int dumpableAtMain = DumpableState();  // for --self-test ids
  if (AnswerHelpOrVersion(
          argc, argv, "dicom-decode",
          "The DICOM Data Converter's decoder helper: reads a compressed DICOM file\n"
          "on standard input and writes it as explicit VR little endian, frames\n"
          "decoded, in a confined process. The converters start it; it is not\n"
          "meant to be run by hand.\n"))
    return 0;
  const long parent = ParentProcessId();
  Options options;
  std::string why;
  if (!ReadOptions(argc, argv, options, why)) return Fail(kHelperCannotStart, why);
  const bool selfTest = options.selfTest != nullptr;
  if (options.libraryDecoders) UseLibraryDecodersOnly();
  ResetSignals();
  LimitResources();
  const GdcmHelper gdcm = OpenGdcmHelper();
  if (!DropPrivileges(why) || !EndWithParent(parent, why))
    return Fail(kHelperCannotStart, "the decoder cannot start confined: " + why);
  try {
    Input input;
    StandbyChild standby;
    if (!selfTest) {
      // What cannot be mapped (a pipe) is GDCM's to read, as before.
      if (!StandardInputIsRegularFile())
        return Fail(kHelperCannotStart, RunGdcmHelper(gdcm, false));
      if (!TakeStandardInput(input, why)) return Fail(kHelperCannotStart, why);
      standby = StartStandby(gdcm);
    }
    const std::string identity = selfTest ? ConfinedIdentity(dumpableAtMain) : "";
    // One malloc arena for every thread: another would reserve 64 MiB of
    // address space for itself. Memory a frame's codec frees stays in the
    // heap for the next frame instead of going back to the kernel and being
    // faulted in again (the helper lives for one file).
    TuneHeap(1, 32 << 20, 256 << 20);
    const int threads = options.threads > 0 ? options.threads : UsableCores();
    const std::size_t memoryLeft = AddressSpaceLeft();
    if (!ConfineSystemCalls(why, standby.ask))
      return Fail(kHelperCannotStart, "the decoder cannot start confined: " + why);
    return selfTest ? SelfTest(options.selfTest, identity)
                    : Decode(input, threads, memoryLeft, standby);
  } catch (const std::bad_alloc&) {
    return Fail(kHelperNoMemory, "out of memory");
  } catch (const std::exception& error) {
    return Fail(kHelperUndecodable, std::string("decoder error: ") + error.what());
  }
}
