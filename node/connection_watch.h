// Deadlines for the node's DICOM connections. DCMTK waits on a socket for
// each read with a timeout of its own, so that a peer that sends a byte now
// and then, or keeps its socket open after a release, holds the thread that
// serves it for ever. Here every connection has a time by which its peer must
// have sent its next complete PDU; past it the socket is shut down, and
// whatever DCMTK call waits on it returns at once.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class ConnectionWatch {
 public:
  using Clock = std::chrono::steady_clock;
  struct Limits {
    int requestSeconds = 10;  // from the connection to its association request
    int pduSeconds = 60;      // from one PDU to the end of the next
    int closingSeconds = 1;   // after a release or abort request, for the peer to close
    int stopSeconds = 10;     // once the node stops, for a PDU under way
    // While other connections wait to be accepted, the request being read
    // (by the one thread that receives them) gets this long at most: a
    // sender sends its request as soon as it is connected.
    std::chrono::milliseconds busyRequest{2000};
  };
  explicit ConnectionWatch(const Limits& limits);
  ~ConnectionWatch();
  ConnectionWatch(const ConnectionWatch&) = delete;
  ConnectionWatch& operator=(const ConnectionWatch&) = delete;

  const Limits& limits() const { return limits_; }
  // Sets (or moves) the deadline of a socket; idle: no PDU is under way;
  // request: its association request is not yet complete.
  void Set(int fd, Clock::time_point deadline, bool idle, bool request = false);
  // The listening socket, looked at for connections that wait behind a
  // request.
  void SetListener(int fd);
  // Forgets a socket; called before it is closed, so that a number the
  // system gives out again is never shut down by mistake.
  void Remove(int fd);
  // The node stops: idle connections end now, the others within stopSeconds,
  // and no later deadline is granted.
  void Stop();
  std::size_t Watched();

 private:
  void Run();
  struct Entry {
    Clock::time_point deadline;
    bool idle;
    bool request;
    Clock::time_point since;  // of the connection, while request
  };
  // Whether a connection waits to be accepted.
  bool ListenerWaiting() const;
  const Limits limits_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<int, Entry> entries_;
  bool stopping_ = false;
  Clock::time_point stopDeadline_{};
  bool ending_ = false;
  int listener_ = -1;
  std::thread thread_;
};

// What a connection that failed its TLS handshake tells the node: the
// peer's address and the reason.
using HandshakeRefusal = std::function<void(const std::string& peer, const std::string& reason)>;

// Puts a connection of a transport layer (plain TCP, TLS) under the watch:
// the returned connection reads and writes through inner (and owns it),
// reads its PDUs' headers as they pass and moves its deadline at the end of
// each PDU. A failed server-side handshake is told to refused, when given.
DcmTransportConnection* WatchConnection(DcmTransportConnection* inner, DcmNativeSocketType socket,
                                        ConnectionWatch& watch, HandshakeRefusal refused = {});

// The transport layer of the node's plain network: every connection it
// makes is watched.
class WatchedTransportLayer : public DcmTransportLayer {
 public:
  explicit WatchedTransportLayer(ConnectionWatch& watch) : watch_(watch) {}
  DcmTransportConnection* createConnection(DcmNativeSocketType socket,
                                           OFBool useSecureLayer) override;

 private:
  ConnectionWatch& watch_;
};

// Follows the PDUs in a byte stream (a 6-byte header: type, reserved, a
// 32-bit big-endian length; then that many bytes).
class PduFramer {
 public:
  // Takes the bytes read; returns how many PDUs they completed, and the type
  // of the last one completed in lastType.
  int Feed(const unsigned char* bytes, std::size_t count, int& lastType);
  bool Idle() const { return headerBytes_ == 0 && remaining_ == 0; }

 private:
  unsigned char header_[6] = {};
  int headerBytes_ = 0;
  std::uint32_t remaining_ = 0;
};
