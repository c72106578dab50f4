// Sockets another library made and reads, looked at and cut by their
// descriptor from a thread that watches them: a connection past its
// deadline is shut down, so that a read that waits on it ends at once.
#pragma once

#include <string>

// Whether fd is a socket that listens for connections.
bool SocketListens(int fd);

// Whether a connection waits on the listening socket to be accepted (no
// wait).
bool ConnectionWaiting(int listener);

// Shuts both directions down, not closed: the number stays the socket's
// until its owner closes it, and every wait on it ends with end of file.
void ShutDownSocket(int fd);

// The numeric address of the peer of a connected socket (IPv4 dotted,
// IPv6 as inet_ntop writes it); "unknown" when the system cannot tell.
std::string PeerAddressOf(int fd);

// Waits until the peer of a connected socket sends its first byte, left
// unread, or closes (or the socket is shut down): whether a byte came.
bool AwaitFirstByte(int fd);
