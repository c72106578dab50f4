#include "node/connection_watch.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/watched_socket.h"

ConnectionWatch::ConnectionWatch(const Limits& limits)
    : limits_(limits), thread_([this] { Run(); }) {}

ConnectionWatch::~ConnectionWatch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void ConnectionWatch::Set(int fd, Clock::time_point deadline, bool idle, bool request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Once stopping, a PDU just received may still be answered; nothing
    // runs past the stop's own deadline.
    if (stopping_) {
      deadline = std::min(deadline, stopDeadline_);
      if (idle)
        deadline = std::min(deadline, Clock::now() + std::chrono::seconds(limits_.closingSeconds));
    }
    auto found = entries_.find(fd);
    const Clock::time_point since =
        found != entries_.end() && found->second.request ? found->second.since : Clock::now();
    entries_[fd] = {deadline, idle, request, since};
  }
  wake_.notify_all();
}

void ConnectionWatch::SetListener(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = fd;
}

bool ConnectionWatch::ListenerWaiting() const {
  return ConnectionWaiting(listener_);
}

void ConnectionWatch::Remove(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(fd);
}

void ConnectionWatch::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    const Clock::time_point now = Clock::now();
    stopDeadline_ = now + std::chrono::seconds(limits_.stopSeconds);
    for (auto& [fd, entry] : entries_)
      entry.deadline = entry.idle ? now : std::min(entry.deadline, stopDeadline_);
  }
  wake_.notify_all();
}

std::size_t ConnectionWatch::Watched() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

void ConnectionWatch::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!ending_) {
    Clock::time_point next = Clock::now() + std::chrono::seconds(1);
    const Clock::time_point now = Clock::now();
    bool requests = false;
    for (const auto& [fd, entry] : entries_)
      requests = requests || (entry.request && entry.deadline != Clock::time_point::max());
    // Only looked at while a request is read: the listener is idle otherwise.
    const bool waiting = requests && ListenerWaiting();
    if (requests) next = std::min(next, now + std::chrono::milliseconds(250));
    for (auto& [fd, entry] : entries_) {
      if (entry.deadline <= now ||
          (waiting && entry.request && now - entry.since >= limits_.busyRequest)) {
        // Shut down, not closed: the number stays the connection's until
        // DCMTK closes it, and every wait on it ends with end of file.
        ShutDownSocket(fd);
        entry.deadline = Clock::time_point::max();
      } else {
        next = std::min(next, entry.deadline);
      }
    }
    wake_.wait_until(lock, next);
  }
}

int PduFramer::Feed(const unsigned char* bytes, std::size_t count, int& lastType) {
  int completed = 0;
  while (count > 0) {
    if (headerBytes_ < 6) {
      header_[headerBytes_++] = *bytes++;
      --count;
      if (headerBytes_ < 6) continue;
      remaining_ = (std::uint32_t{header_[2]} << 24) | (std::uint32_t{header_[3]} << 16) |
                   (std::uint32_t{header_[4]} << 8) | header_[5];
    } else {
      const std::size_t taken = std::min<std::size_t>(count, remaining_);
      remaining_ -= static_cast<std::uint32_t>(taken);
      bytes += taken;
      count -= taken;
    }
    if (headerBytes_ == 6 && remaining_ == 0) {
      lastType = header_[0];
      headerBytes_ = 0;
      ++completed;
    }
  }
  return completed;
}

namespace {

// PDU types after which the peer has nothing more to send but its close.
constexpr int kReleaseRequest = 0x05;
constexpr int kAbort = 0x07;

// A connection of another layer, watched: every call goes to inner.
class WatchedConnection : public DcmTransportConnection {
 public:
  WatchedConnection(DcmTransportConnection* inner, DcmNativeSocketType socket,
                    ConnectionWatch& watch, HandshakeRefusal refused)
      : DcmTransportConnection(socket),
        inner_(inner),
        watch_(watch),
        refused_(std::move(refused)),
        fd_(socket),
        deadline_(After(watch.limits().requestSeconds)) {
    watch_.Set(fd_, deadline_, true, true);
    // Read now: a peer that gave up the handshake may be gone when it fails.
    if (refused_) peer_ = PeerAddressOf(fd_);
  }
  ~WatchedConnection() override {
    Forget();
    delete inner_;
  }

  // The TLS handshake reads the socket itself, under the request's
  // deadline set at the connection. A peer that closes before its first
  // byte (a port probe) is no refusal, as a plain connection closed before
  // its request is none.
  OFCondition serverSideHandshake() override {
    const bool spoke = !refused_ || AwaitFirstByte(fd_);
    const OFCondition cond = inner_->serverSideHandshake();
    if (cond.bad() && spoke && refused_) refused_(peer_, cond.text());
    return cond;
  }
  OFCondition clientSideHandshake() override { return inner_->clientSideHandshake(); }
  OFCondition renegotiate(const char* suite) override { return inner_->renegotiate(suite); }

  ssize_t read(void* buffer, size_t size) override {
    const ssize_t got = inner_->read(buffer, size);
    if (got <= 0 || fd_ < 0) return got;
    const bool wasIdle = framer_.Idle();
    int lastType = 0;
    if (framer_.Feed(static_cast<const unsigned char*>(buffer), static_cast<std::size_t>(got),
                     lastType) > 0) {
      const bool closing = lastType == kReleaseRequest || lastType == kAbort;
      const ConnectionWatch::Limits& limits = watch_.limits();
      deadline_ = After(closing ? limits.closingSeconds : limits.pduSeconds);
      requested_ = true;
      watch_.Set(fd_, deadline_, framer_.Idle());
    } else if (wasIdle) {
      // A PDU has begun: it keeps the deadline, but is no longer idle.
      watch_.Set(fd_, deadline_, false, !requested_);
    }
    return got;
  }
  ssize_t write(void* buffer, size_t size) override { return inner_->write(buffer, size); }

  void close() override {
    Forget();
    inner_->close();
  }
  void closeTransportConnection() override {
    Forget();
    inner_->closeTransportConnection();
  }
  unsigned long getPeerCertificateLength() override { return inner_->getPeerCertificateLength(); }
  unsigned long getPeerCertificate(void* buffer, unsigned long size) override {
    return inner_->getPeerCertificate(buffer, size);
  }
  OFBool networkDataAvailable(int timeout) override {
    return inner_->networkDataAvailable(timeout);
  }
  OFBool isTransparentConnection() override { return inner_->isTransparentConnection(); }
  OFString& dumpConnectionParameters(OFString& text) override {
    return inner_->dumpConnectionParameters(text);
  }

 private:
  static ConnectionWatch::Clock::time_point After(int seconds) {
    return ConnectionWatch::Clock::now() + std::chrono::seconds(seconds);
  }
  void Forget() {
    if (fd_ >= 0) watch_.Remove(fd_);
    fd_ = -1;
  }

  DcmTransportConnection* inner_;
  ConnectionWatch& watch_;
  HandshakeRefusal refused_;
  std::string peer_;
  int fd_;
  ConnectionWatch::Clock::time_point deadline_;
  bool requested_ = false;  // the first PDU (the association request) is complete
  PduFramer framer_;
};

}  // namespace

DcmTransportConnection* WatchConnection(DcmTransportConnection* inner, DcmNativeSocketType socket,
                                        ConnectionWatch& watch, HandshakeRefusal refused) {
  if (inner == nullptr) return nullptr;
  return new WatchedConnection(inner, socket, watch, std::move(refused));
}

DcmTransportConnection* WatchedTransportLayer::createConnection(DcmNativeSocketType socket,
                                                                OFBool useSecureLayer) {
  if (useSecureLayer) return nullptr;
  return WatchConnection(new DcmTCPConnection(socket), socket, watch_);
}
