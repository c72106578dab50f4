// A document shown by the program the system associates with its type,
// where the system itself keeps that association (the Windows shell).
// Elsewhere the desktop's opener is a program of its own (xdg-open), which
// the window runs and checks itself.
#pragma once

#include <string>
#include <vector>

// Whether the system opens documents itself.
bool SystemOpensDocuments();

// Opens path (UTF-8) with the verb "open" of its type; viewer is then the
// viewer's process id, or 0 when the system handed the document to a viewer
// that already runs. False, with nothing started, when no program is
// associated with the type or the system refused; always false where the
// system does not open documents. Returns at once: the viewer runs on its
// own, and no error box of the system's is shown.
bool OpenDocumentWithSystem(const std::string& path, long long& viewer);

// Brings the top-level window of one of processes (a viewer and the
// processes it started) to the front, restored if minimised: true when one
// of them shows a window. Where windows belong to a display server apart
// from the system (X11, Wayland), always false: the window asks its display.
bool BringViewerToFront(const std::vector<long long>& processes);
