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
// Options and exit statuses: decode_request.h. Killed by a signal, GDCM's
// child ends this process by the same signal.
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

#include "helper/decode_request.h"
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

}  // namespace

int main(int argc, char** argv) {
  const int dumpableAtMain = DumpableState();  // for --self-test ids
  if (AnswerHelpOrVersion(argc, argv, "dicom-decode", kDecoderHelperUsage)) return 0;
  const long parent = ParentProcessId();
  DecodeRequest options;
  std::string why;
  if (!ReadDecodeRequest(argc, argv, options, why)) return Fail(kHelperCannotStart, why);
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
    return selfTest ? RunSelfTest(options.selfTest, identity)
                    : DecodeInOrder(input, threads, memoryLeft, [&standby](bool rewrite) {
                        return AskGdcm(standby, rewrite ? 'G' : 'V');
                      });
  } catch (const std::bad_alloc&) {
    return Fail(kHelperNoMemory, "out of memory");
  } catch (const std::exception& error) {
    return Fail(kHelperUndecodable, std::string("decoder error: ") + error.what());
  }
}
