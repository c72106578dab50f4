// The window of a document viewer this program started, brought to the
// front when the operator asks for the same document again.
#pragma once

// Brings a top-level window of process viewer, or of a process it started
// (xdg-open runs the viewer as its child), to the front: through the system
// where it owns the windows (Windows), through the X server's window
// manager (the EWMH active-window request) under X11. False when no such
// window was found, or where the display lets no program raise another's
// window (Wayland): the viewer is then left as it is.
bool RaiseViewerWindow(long long viewer);
