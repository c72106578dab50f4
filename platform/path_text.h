// How this system writes a path: which characters separate its components
// and where its root ends, so that a walk over a path's components (the
// safe write's, output/output_path) reads every path as the system does.
#pragma once

#include <string>

// Whether c separates two components: '/', and on Windows '\' too.
bool IsPathSeparator(char c);

// The root path begins with, as HoldFolder (held_file.h) takes it, or empty
// for a path relative to the current folder; rest is what follows it. On
// POSIX "/". On Windows a drive's root ("C:\"), a share's
// ("\\server\share\"), a device path's ("\\?\C:\"), the current drive's
// ("\"), or a drive's current folder ("C:").
std::string PathRoot(const std::string& path, std::string& rest);
