// What the caller of a load decides: how the operator's questions are
// answered, how the decoder runs, and whether the load may go on. The load
// keeps none of it after it returns.
#pragma once

#include <functional>
#include <string>

#include "core/operator_question.h"
#include "helper_client/transcoder.h"
#include "model/gate_curve.h"

// Where a load stands, for a progress display.
enum class LoadStage {
  kReadingHeader,  // the walk up to Pixel Data
  kReadingFrames,  // frames into the store
  kDecoding,       // waiting for the decoder helper, which sends the frames back in order
};

struct LoadProgress {
  LoadStage stage;
  std::string encoding;  // the transfer syntax in words; empty until known
  long long done = 0;    // bytes walked, frames read, or frames decoded and sent back
  long long total = 0;   // 0 when unknown (a deflated data set's frames)
};

// Called now and then during a load; returning false cancels it, which ends
// the load like the operator's own No.
using LoadProgressCallback = std::function<bool(const LoadProgress& progress)>;

struct LoadOptions {
  YesNoQuestion ask;  // none: every question is answered No
  DecoderSettings decoder;
  LoadProgressCallback progress;
  // A gate whose total counts differ from the mean of all gates by more
  // than this many per cent is named in the load's gating warning.
  double gatingTolerancePercent = kGateTolerancePercent;
  // Called after the header scan and before the pixel read; tests change the
  // file on disk there.
  std::function<void()> afterHeaderScan;
};
