// The text sink of child_launcher.h: plain C++, the same on every system.
#include <algorithm>

#include "platform/child_launcher.h"

bool TextSink::Room(char*& at, std::size_t& bytes) {
  at = buffer_;
  bytes = sizeof buffer_;
  return true;
}

void TextSink::Took(std::size_t bytes) {
  const std::size_t room = limit_ - std::min(limit_, text_.size());
  text_.append(buffer_, std::min(room, bytes));
}
