#include "platform/path_text.h"

namespace {

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Where the component that starts at from ends: at the next separator, or
// at the end.
std::size_t EndOfComponent(const std::string& path, std::size_t from) {
  while (from < path.size() && !IsPathSeparator(path[from])) ++from;
  return from;
}

// The root ending at end (the separator after it included when there is
// one), and rest from there, separators before the first component left out.
std::string Split(const std::string& path, std::size_t end, bool separator, std::string& rest) {
  std::size_t start = end;
  while (start < path.size() && IsPathSeparator(path[start])) ++start;
  rest = path.substr(start);
  std::string root = path.substr(0, end);
  for (char& c : root)
    if (c == '/') c = '\\';
  return separator ? root + "\\" : root;
}

}  // namespace

bool IsPathSeparator(char c) {
  return c == '/' || c == '\\';
}

std::string PathRoot(const std::string& path, std::string& rest) {
  const std::size_t n = path.size();
  const bool twoSeparators = n >= 2 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]);
  if (twoSeparators && n >= 4 && (path[2] == '?' || path[2] == '.') && IsPathSeparator(path[3])) {
    // \\?\C:\ or \\?\UNC\server\share\: the volume is the next component
    // (or the next three).
    std::size_t end = EndOfComponent(path, 4);
    if (path.compare(4, end - 4, "UNC") == 0)
      end = EndOfComponent(path, EndOfComponent(path, end + 1) + 1);
    return Split(path, end, true, rest);
  }
  if (twoSeparators) {  // \\server\share\ .
    const std::size_t end = EndOfComponent(path, EndOfComponent(path, 2) + 1);
    return Split(path, end, true, rest);
  }
  if (n >= 2 && IsLetter(path[0]) && path[1] == ':')
    return Split(path, 2, n > 2 && IsPathSeparator(path[2]), rest);
  if (n >= 1 && IsPathSeparator(path[0])) return Split(path, 0, true, rest);
  rest = path;
  return "";
}
