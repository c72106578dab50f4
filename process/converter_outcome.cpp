#include "converter_outcome.h"

const char* const kDeclinedNonNmHint = " (--accept-non-nm converts it)";
const char* const kDeclinedProjectionsHint = " (--accept-projections converts it)";

const char* OutcomeOfExit(int exitCode) {
  switch (exitCode) {
    case 0:
      return "converted";
    case 4:
      return "short";
    case 8:
      return "no-memory";
    default:
      return "failed";
  }
}

int StatusOfExit(int exitCode) {
  return exitCode == 0 || exitCode == 4 || exitCode == 8 ? exitCode : 1;
}

std::vector<std::string> ConverterWarnings(const std::string& output) {
  static const std::string kMark = "dicom2gsd: warning: ";
  std::vector<std::string> warnings;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    if (line.compare(0, kMark.size(), kMark) == 0) warnings.push_back(line.substr(kMark.size()));
    start = end + 1;
  }
  return warnings;
}

bool ConverterDeclined(const std::string& output) {
  return output.find(std::string(kDeclinedNonNmHint) + "\n") != std::string::npos ||
         output.find(std::string(kDeclinedProjectionsHint) + "\n") != std::string::npos;
}

bool GoesToConverter(const std::string& modality, const std::string& sopClassUid,
                     bool acceptNonNm) {
  static const char* const kNuclearMedicineImageStorage = "1.2.840.10008.5.1.4.1.1.20";
  return modality == "NM" || (acceptNonNm && sopClassUid == kNuclearMedicineImageStorage);
}
