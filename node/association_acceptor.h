// The node's listener. One thread receives every association request: it
// answers those it refuses itself (called AE, --allow, no free slot) and
// hands each accepted one to a thread of its own, at most --max-associations
// at once, each joined when its association ends. An accepted request over
// the limit waits a few seconds for a slot before it is refused. Every
// connection is watched (connection_watch): a peer that is silent, sends half
// a request or a byte now and then loses its connection at its deadline, and
// a request still incomplete after 2 s while others wait behind it is cut.
// With TLS (tls_layer) the handshake is part of the request: it runs on the
// listening thread under the same deadlines, and a peer that fails it is
// logged as refused.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/scpcfg.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "node/connection_watch.h"
#include "node/storage_scp.h"
#include "node/tls_layer.h"

class AssociationAcceptor {
 public:
  AssociationAcceptor(const NodeContext& context, const DcmSCPConfig& config);
  ~AssociationAcceptor();
  AssociationAcceptor(const AssociationAcceptor&) = delete;
  AssociationAcceptor& operator=(const AssociationAcceptor&) = delete;

  // With --tls-key, --tls-cert and --tls-ca: loads them for every
  // connection; false with error naming the file and the reason. Before
  // Open.
  bool LoadTls(std::string& error);
  // Opens the port; false with error set.
  bool Open(std::string& error);
  // Receives associations until Stop, then waits for those under way (each
  // within the watch's stop deadline). 0, or 1 when the listening socket
  // failed (error set).
  int Serve(std::string& error);
  // From another thread: stop accepting and end the associations.
  void Stop();
  // Called by the listening thread at every turn of its loop (at least
  // every poll interval) while it listens: the watchdog's sign of life.
  void OnTurn(std::function<void()> turn) { turn_ = std::move(turn); }
  // Associations under way (their threads not yet joined).
  std::size_t Running();

 private:
  struct Association {
    std::thread thread;
    bool done = false;
  };
  void Dispatch(T_ASC_Association* association);
  bool WaitForSlot();
  void Run(T_ASC_Association* association, std::list<Association>::iterator self);
  // Joins the threads whose association has ended; all of them with all.
  void Join(bool all);

  const NodeContext& context_;
  DcmSharedSCPConfig config_;
  ConnectionWatch watch_;
  WatchedTransportLayer layer_;
  std::unique_ptr<WatchedTlsTransportLayer> tls_;  // null: plain TCP
  T_ASC_Network* network_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable ended_;
  std::list<Association> associations_;
  std::function<void()> turn_;
};

// Discards an association that was received but is not served.
void DiscardAssociation(T_ASC_Association*& association);
