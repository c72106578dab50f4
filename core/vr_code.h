// A value representation packed as first letter x 256 + second letter, the
// form both the element reader and the attribute table use. 0 means no VR.
#pragma once

#include <cstdint>

using VrCode = std::uint32_t;

constexpr VrCode MakeVr(char first, char second) {
  return static_cast<VrCode>(static_cast<unsigned char>(first)) * 256u +
         static_cast<unsigned char>(second);
}

constexpr VrCode kVrSQ = MakeVr('S', 'Q');
constexpr VrCode kVrDL = MakeVr('D', 'L');  // items and delimiters
constexpr VrCode kVrOB = MakeVr('O', 'B');
constexpr VrCode kVrOW = MakeVr('O', 'W');
constexpr VrCode kVrUN = MakeVr('U', 'N');

// True for the VRs of PS3.5 section 6.2.
bool IsKnownVr(VrCode vr);

// True for the VRs whose explicit header has two reserved bytes and a 32-bit
// length (PS3.5 section 7.1.2): OB, OD, OF, OL, OV, OW, SQ, SV, UC, UN, UR,
// UT, UV.
bool HasLongLength(VrCode vr);
