// How a count is shown as grey, wherever frames are pictured (the window's
// image pane, gsdinfo's montage): 0 and below black, top and above white,
// linear between.
#pragma once

#include <algorithm>
#include <cstdint>

inline std::uint8_t GreyLevel(int count, int top) {
  top = std::max(top, 1);
  return static_cast<std::uint8_t>(std::clamp(count, 0, top) * 255 / top);
}
