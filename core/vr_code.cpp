#include "core/vr_code.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr VrCode kLongLengthVrs[] = {
    MakeVr('O', 'B'), MakeVr('O', 'D'), MakeVr('O', 'F'), MakeVr('O', 'L'), MakeVr('O', 'V'),
    MakeVr('O', 'W'), MakeVr('S', 'Q'), MakeVr('S', 'V'), MakeVr('U', 'C'), MakeVr('U', 'N'),
    MakeVr('U', 'R'), MakeVr('U', 'T'), MakeVr('U', 'V')};

constexpr VrCode kShortLengthVrs[] = {
    MakeVr('A', 'E'), MakeVr('A', 'S'), MakeVr('A', 'T'), MakeVr('C', 'S'), MakeVr('D', 'A'),
    MakeVr('D', 'S'), MakeVr('D', 'T'), MakeVr('F', 'D'), MakeVr('F', 'L'), MakeVr('I', 'S'),
    MakeVr('L', 'O'), MakeVr('L', 'T'), MakeVr('P', 'N'), MakeVr('S', 'H'), MakeVr('S', 'L'),
    MakeVr('S', 'S'), MakeVr('S', 'T'), MakeVr('T', 'M'), MakeVr('U', 'I'), MakeVr('U', 'L'),
    MakeVr('U', 'S')};

template <std::size_t N>
bool Contains(const VrCode (&list)[N], VrCode vr) {
  return std::find(std::begin(list), std::end(list), vr) != std::end(list);
}

}  // namespace

bool HasLongLength(VrCode vr) {
  return Contains(kLongLengthVrs, vr);
}

bool IsKnownVr(VrCode vr) {
  return HasLongLength(vr) || Contains(kShortLengthVrs, vr);
}
