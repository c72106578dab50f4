#include "core/load_report.h"

#include <utility>

#include "core/gated_loader.h"

bool LoadReport::Fail(LoadFailure why, std::string words) {
  failure = why;
  detail = std::move(words);
  return false;
}

std::string LoadReport::FailureText(int result) const {
  if (!detail.empty()) return detail;
  switch (result) {
    case kLoadPixelDataShort:
      return "the pixel data end before the last frame";
    case kLoadNoMemory:
      return "no memory for the work frame";
    default:
      return "cannot be loaded";
  }
}

bool LoadReport::DeclinedByOperator() const {
  return failure == LoadFailure::kModalityDeclined ||
         failure == LoadFailure::kNotReconstructedDeclined || failure == LoadFailure::kCancelled;
}
