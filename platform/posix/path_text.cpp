#include "platform/path_text.h"

bool IsPathSeparator(char c) {
  return c == '/';
}

std::string PathRoot(const std::string& path, std::string& rest) {
  std::size_t start = 0;
  while (start < path.size() && path[start] == '/') ++start;
  rest = path.substr(start);
  return start > 0 ? "/" : "";
}
