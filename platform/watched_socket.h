// Sockets another library made and reads, looked at and cut by their
// descriptor from a thread that watches them: a connection past its
// deadline is shut down, so that a read that waits on it ends at once.
#pragma once

// Whether fd is a socket that listens for connections.
bool SocketListens(int fd);

// Whether a connection waits on the listening socket to be accepted (no
// wait).
bool ConnectionWaiting(int listener);

// Shuts both directions down, not closed: the number stays the socket's
// until its owner closes it, and every wait on it ends with end of file.
void ShutDownSocket(int fd);
