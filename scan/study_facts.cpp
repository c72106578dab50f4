#include "scan/study_facts.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/oflog/oflog.h>

#include <algorithm>
#include <cstring>

#include "core/frame_count.h"
#include "platform/input_file.h"
#include "scan/header_facts.h"

namespace {

// Whether the bytes start like a DICOM file: "DICM" after the preamble, or
// a data set without one that begins with a group 0008 element (or group
// 0002 meta information).
bool LooksLikeDicom(int fd) {
  unsigned char head[132];
  const long long got = ReadAt(fd, head, sizeof head, 0);
  if (got >= 132 && std::memcmp(head + 128, "DICM", 4) == 0) return true;
  if (got < 8) return false;
  const unsigned group = head[0] | head[1] << 8;
  return group == 0x0002 || group == 0x0008;
}

}  // namespace

FactsResult ReadStudyFacts(int fd, const std::string& path, StudyFacts& facts, std::string& error) {
  // Stopping at Pixel Data is what is asked for, not worth DCMTK's warning;
  // a file it cannot read is reported by the caller.
  static const bool quiet = [] {
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    return true;
  }();
  (void)quiet;
  facts = StudyFacts();
  facts.path = path;
  if (!LooksLikeDicom(fd)) return FactsResult::kNotDicom;
  // DCMTK opens by name: the descriptor's own name reopens the very file
  // that was checked to be regular, whatever the path points to now.
  const std::string self = NameOfOpenFile(fd);
  if (!ReadHeaderFacts(self, facts, error) && facts.sopInstanceUid.empty() &&
      facts.modality.empty())
    return FactsResult::kUnreadable;
  error.clear();
  facts.gated = facts.numberOfTimeSlots > 1;
  facts.gates = facts.numberOfTimeSlots > 0 ? facts.numberOfTimeSlots : 1;
  const std::int32_t stated =
      StatedFrames(ParseNumberOfFrames(facts.numberOfFrames.c_str()), facts.numberOfSlices);
  facts.framesPerGate = std::max(0, FramesPerGate(stated, facts.gates, facts.numberOfSlices));
  return FactsResult::kStudy;
}
