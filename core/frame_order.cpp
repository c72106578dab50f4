#include "core/frame_order.h"

#include <string>
#include <utility>

bool PlanFrameOrder(std::int32_t statedFrames, int gates, int framesPerGate,
                    const FrameVector& timeSlots, const FrameVector& slices, FrameOrder& order,
                    LoadReport& report) {
  auto Refuse = [&report](std::string why) {
    return report.Fail(LoadFailure::kFrameOrder, std::move(why));
  };
  order.gates = gates;
  order.framesPerGate = framesPerGate;
  order.fromVectors = false;
  const int frames = gates * framesPerGate;
  if (timeSlots.count < 0 || slices.count < 0) return true;  // gate-major

  const std::string stated = std::to_string(statedFrames);
  if (timeSlots.count != statedFrames)
    return Refuse("Time Slot Vector (0054,0070) has " + std::to_string(timeSlots.count) +
                  " entries for " + stated + " frames");
  if (slices.count != statedFrames)
    return Refuse("Slice Vector (0054,0080) has " + std::to_string(slices.count) + " entries for " +
                  stated + " frames");
  if (statedFrames != frames)
    return Refuse("the frame vectors name " + stated + " frames, not " + std::to_string(gates) +
                  " gates of " + std::to_string(framesPerGate));

  bool taken[kMaxVectorEntries] = {};
  for (int i = 0; i < frames; ++i) {
    int gate = timeSlots.entries[i];
    int slice = slices.entries[i];
    if (gate < 1 || gate > gates)
      return Refuse("Time Slot Vector (0054,0070) names gate " + std::to_string(gate) + " of " +
                    std::to_string(gates));
    if (slice < 1 || slice > framesPerGate)
      return Refuse("Slice Vector (0054,0080) names slice " + std::to_string(slice) + " of " +
                    std::to_string(framesPerGate));
    int index = (gate - 1) * framesPerGate + (slice - 1);
    if (taken[index])
      return Refuse("the frame vectors name gate " + std::to_string(gate) + ", slice " +
                    std::to_string(slice) + " twice");
    taken[index] = true;
    order.target[i] = static_cast<std::uint16_t>((gate - 1) * 64 + (slice - 1));
  }
  order.fromVectors = true;
  return true;
}
