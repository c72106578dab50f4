// dicom-decode-gdcm: GDCM's whole-file rewrite, the part of the decoder
// helper that needs GDCM. dicom-decode runs it (from beside itself, or from
// where it is installed) for what its frames' way does not take: explicit VR
// big endian, deflated data sets, other encapsulated syntaxes, odd layouts,
// and for its verdict on a file that way fails on. It rewrites the DICOM
// file open on standard input as explicit VR little endian on standard
// output, confined like dicom-decode itself (sandbox.h); with --verdict it
// writes nothing but its exit status and its words. GDCM's start-up (its
// dictionaries, some 25 ms) is thus paid only where GDCM works.
//
// Exit status: 0 written; 2 GDCM cannot read the file; 3 the pixel data
// cannot be decoded; 4 out of memory; 5 cannot write; 6 the pixel data end
// early (GDCM would pad them with zeros); 7 the sandbox cannot be set up or
// the input cannot be read. The reason, in GDCM's own words where it has
// them, is one line on standard error.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <iostream>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "helper/gdcm_rewrite.h"
#include "helper/helper_process.h"
#include "helper/sandbox.h"
#include "platform/process_id.h"
#include "platform/process_privileges.h"
#include "status/decoder_status.h"

int main(int argc, char** argv) {
  const int dumpableAtMain = DumpableState();  // for --self-test ids
  if (AnswerHelpOrVersion(
          argc, argv, "dicom-decode-gdcm",
          "The DICOM Data Converter's GDCM helper: rewrites a big-endian or\n"
          "deflated DICOM file as explicit VR little endian, and judges what the\n"
          "frame decoder cannot decode, in a confined process. dicom-decode starts\n"
          "it; it is not meant to be run by hand.\n"))
    return 0;
  const long parent = ParentProcessId();
  const bool emit = !(argc == 2 && std::strcmp(argv[1], "--verdict") == 0);
  // --self-test ids: confined as for a decode (with no input), it writes
  // the identity it was confined under.
  const bool selfTest =
      argc == 3 && std::strcmp(argv[1], "--self-test") == 0 && std::strcmp(argv[2], "ids") == 0;
  ResetSignals();
  LimitResources();
  std::ios::sync_with_stdio(false);
  std::string why;
  if (!DropPrivileges(why) || !EndWithParent(parent, why))
    return Fail(kHelperCannotStart, "the decoder cannot start confined: " + why);
  try {
    if (selfTest) {
      const std::string identity = ConfinedIdentity(dumpableAtMain);
      if (!ConfineSystemCalls(why))
        return Fail(kHelperCannotStart, "the decoder cannot start confined: " + why);
      return std::cout.write(identity.data(), identity.size()).flush() ? 0 : 5;
    }
    Input input;
    if (!TakeStandardInput(input, why)) return Fail(kHelperCannotStart, why);
    // GDCM's image writer stamps local dates (they are taken out again):
    // a zone given as a rule needs no file once the filter is on.
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    if (!ConfineSystemCalls(why))
      return Fail(kHelperCannotStart, "the decoder cannot start confined: " + why);
    return DecodeWithGdcm(input, emit);
  } catch (const std::bad_alloc&) {
    return Fail(kHelperNoMemory, "out of memory");
  } catch (const std::exception& error) {
    return Fail(kHelperUndecodable, std::string("decoder error: ") + error.what());
  }
}
