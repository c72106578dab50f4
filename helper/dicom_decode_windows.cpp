// dicom-decode on Windows: the decoder helper in one process, GDCM inside
// it. It rewrites the DICOM file open on standard input as explicit VR
// little endian with raw pixel data, on standard output, as the Linux pair
// (dicom-decode and dicom-decode-gdcm) does: the frames' way first, GDCM
// for what that way does not take and for its verdict on what it fails
// (decode_request.h).
//
// The converter starts it in a job that allows this one process, holds its
// memory and ends it with the converter, under a restricted token at low
// integrity (the launcher's confined start). It takes the whole input
// first, then shuts itself in further (platform/confinement.h: no
// privileges, no executable memory) before any decoder sees a byte.
//
// Options and exit statuses are dicom-decode's on Linux (decode_request.h).
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "helper/decode_request.h"
#include "helper/frame_codecs.h"
#include "helper/gdcm_rewrite.h"
#include "helper/helper_process.h"
#include "helper/sandbox.h"
#include "platform/heap_tuning.h"
#include "platform/process_limits.h"
#include "platform/program_start.h"
#include "platform/usable_cores.h"
#include "status/decoder_status.h"

int main(int argc, char** argv) {
  StartProgram(argc, argv);
  if (AnswerHelpOrVersion(argc, argv, "dicom-decode", kDecoderHelperUsage)) return 0;
  DecodeRequest request;
  std::string why;
  if (!ReadDecodeRequest(argc, argv, request, why)) return Fail(kHelperCannotStart, why);
  if (request.libraryDecoders) UseLibraryDecodersOnly();
  ResetSignals();
  LimitResources();
  try {
    Input input;
    if (request.selfTest == nullptr && !TakeStandardInput(input, why))
      return Fail(kHelperCannotStart, why);
    const std::string identity = request.selfTest != nullptr ? ConfinedIdentity(-1) : "";
    TuneHeap(1, 32 << 20, 256 << 20);
    const int threads = request.threads > 0 ? request.threads : UsableCores();
    const std::size_t memoryLeft = AddressSpaceLeft();
    if (!ConfineSystemCalls(why))
      return Fail(kHelperCannotStart, "the decoder cannot start confined: " + why);
    if (request.selfTest != nullptr) return RunSelfTest(request.selfTest, identity);
    // GDCM in this very process: its verdict or its rewrite of the input.
    return DecodeInOrder(input, threads, memoryLeft,
                         [&input](bool rewrite) { return DecodeWithGdcm(input, rewrite); });
  } catch (const std::bad_alloc&) {
    return Fail(kHelperNoMemory, "out of memory");
  } catch (const std::exception& error) {
    return Fail(kHelperUndecodable, std::string("decoder error: ") + error.what());
  }
}
