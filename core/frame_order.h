// Which gate and slice each frame of the file holds. Frames are gate-major
// unless Time Slot Vector (0054,0070) and Slice Vector (0054,0080) give one
// entry per frame; then each frame goes where its entries name.
#pragma once

#include <cstdint>

#include "core/load_report.h"
#include "model/scan_findings.h"

struct FrameOrder {
  int gates = 1;  // passes over the store
  int framesPerGate = 0;
  bool fromVectors = false;
  std::uint16_t target[kMaxVectorEntries];  // with vectors: gate x 64 + slice

  // The store frame (gate x 64 + slice) of the file's frame i.
  int SlotOf(int i) const {
    return fromVectors ? target[i] : (i / framesPerGate) * 64 + i % framesPerGate;
  }
};

// Plans the order of statedFrames frames read as gates x framesPerGate.
// Returns false, with the reason in report, when the vectors contradict the
// counts or name one slot twice.
bool PlanFrameOrder(std::int32_t statedFrames, int gates, int framesPerGate,
                    const FrameVector& timeSlots, const FrameVector& slices, FrameOrder& order,
                    LoadReport& report);
