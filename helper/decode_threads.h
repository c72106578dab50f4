// How many frames the helper decodes at once. Each decoding thread costs
// its stack and what its codec holds for a frame, all within the helper's
// address-space limit, which the converter sizes from the study without
// knowing the machine's cores: on a machine of many cores the threads must
// fit what the limit leaves, or valid frames fail for want of memory.
#pragma once

#include <cstddef>

// The most a codec (OpenJPEG the largest) holds while it decodes one frame
// of samples values, its working buffers and tables included; measured with
// margin.
std::size_t CodecPeakBytes(std::size_t samples);

// wanted threads, at most one per frame, and no more than memoryLeft bytes
// of address space hold with stackBytes each once taken bytes are mapped
// since; at least one. memoryLeft 0: unknown, wanted is taken. The helper
// reads memoryLeft before its system-call filter goes on (AddressSpaceLeft,
// platform/process_limits.h).
int ThreadsThatFit(int wanted, std::size_t frames, std::size_t samplesPerFrame,
                   std::size_t stackBytes, std::size_t memoryLeft, std::size_t taken);
