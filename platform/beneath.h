// Opening a name inside a tree so that it resolves beneath the tree's root
// whatever links the tree holds: another user who may write a folder of the
// tree cannot lead the caller to / or to a folder of their choosing. The
// kernel's openat2 (RESOLVE_BENEATH) does it where it exists; elsewhere the
// walk goes one component at a time by descriptor, never following a link
// without reading it first.
#pragma once

#include <string>

// How the name is resolved: by the kernel when it can (else by the walk), or
// by the walk alone (tests compare the two).
enum class BeneathWay { kKernelFirst, kWalkOnly };

// Links one resolution follows at most, as the kernel's own budget.
constexpr int kMostLinksBeneath = 40;

// A held descriptor (see held_file.h) of relative, resolved from the held
// folder root with its links followed as long as each stays beneath root;
// or -errno: EXDEV for a link that leads out (an absolute link included),
// ELOOP for more than kMostLinksBeneath links or a /proc link that only the
// kernel can follow, ENOENT, ENOTDIR... "" is root itself.
int OpenPathBeneath(int root, const std::string& relative,
                    BeneathWay way = BeneathWay::kKernelFirst);
