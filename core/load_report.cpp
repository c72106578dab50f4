#include "load_report.h"

#include <utility>

#include "gated_loader.h"

LoadReport LastLoadReport;

void ReportLoadFailure(LoadFailure failure, std::string detail) {
  LastLoadReport.failure = failure;
  LastLoadReport.detail = std::move(detail);
}

void ReportLoadWarning(std::string warning) {
  LastLoadReport.warnings.push_back(std::move(warning));
}

std::string LoadFailureText(int result) {
  if (!LastLoadReport.detail.empty()) return LastLoadReport.detail;
  switch (result) {
    case kLoadPixelDataShort:
      return "the pixel data end before the last frame";
    case kLoadNoMemory:
      return "no memory for the work frame";
    default:
      return "cannot be loaded";
  }
}

bool LoadDeclinedByOperator() {
  return LastLoadReport.failure == LoadFailure::kModalityDeclined ||
         LastLoadReport.failure == LoadFailure::kNotReconstructedDeclined;
}
