#include "node/association_acceptor.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "platform/watched_socket.h"

namespace {

// How long an accepted request over --max-associations waits for a slot.
constexpr int kSlotWaitSeconds = 5;
// The listener looks whether it should stop this often (seconds).
constexpr int kPollSeconds = 1;
// accept() failing this many times in a row (0.1 s apart) while the socket
// still listens: the node cannot take connections and says so.
constexpr int kAcceptFailuresFatal = 300;

ConnectionWatch::Limits LimitsOf(const NodeOptions& options) {
  ConnectionWatch::Limits limits;
  limits.requestSeconds = options.acseTimeout;
  limits.pduSeconds = options.dimseTimeout;
  return limits;
}

bool StillListening(T_ASC_Network* network) {
  return SocketListens(DUL_networkSocket(network->network));
}

}  // namespace

void DiscardAssociation(T_ASC_Association*& association) {
  if (association == nullptr) return;
  ASC_dropAssociation(association);
  ASC_destroyAssociation(&association);
}

AssociationAcceptor::AssociationAcceptor(const NodeContext& context, const DcmSCPConfig& config)
    : context_(context), config_(config), watch_(LimitsOf(*context.options)), layer_(watch_) {}

AssociationAcceptor::~AssociationAcceptor() {
  Stop();
  Join(true);
  watch_.SetListener(-1);
  if (network_ != nullptr) ASC_dropNetwork(&network_);
}

bool AssociationAcceptor::LoadTls(std::string& error) {
  if (!context_.options->Tls()) return true;
  NodeLog* log = context_.log;
  tls_ = std::make_unique<WatchedTlsTransportLayer>(
      watch_, [log](const std::string& peer, const std::string& reason) {
        log->Event("association refused", peer + ": TLS handshake failed: " + reason);
      });
  if (LoadTlsFiles(*tls_, *context_.options, error)) return true;
  tls_.reset();
  return false;
}

bool AssociationAcceptor::Open(std::string& error) {
  OFCondition cond = ASC_initializeNetwork(NET_ACCEPTOR, context_.options->port,
                                           context_.options->acseTimeout, &network_);
  DcmTransportLayer* layer = tls_ ? static_cast<DcmTransportLayer*>(tls_.get()) : &layer_;
  if (cond.good()) cond = ASC_setTransportLayer(network_, layer, 0);
  if (cond.bad()) {
    error = cond.text();
    return false;
  }
  watch_.SetListener(DUL_networkSocket(network_->network));
  return true;
}

void AssociationAcceptor::Stop() {
  stopping_ = true;
  watch_.Stop();
  ended_.notify_all();
}

std::size_t AssociationAcceptor::Running() {
  std::lock_guard<std::mutex> lock(mutex_);
  return associations_.size();
}

int AssociationAcceptor::Serve(std::string& error) {
  int acceptFailures = 0;
  int status = 0;
  while (!stopping_) {
    if (turn_) turn_();
    Join(false);
    T_ASC_Association* association = nullptr;
    OFCondition cond =
        ASC_receiveAssociation(network_, &association, config_->getMaxReceivePDULength(), nullptr,
                               nullptr, tls_ ? OFTrue : OFFalse, DUL_NOBLOCK, kPollSeconds);
    if (cond.good()) {
      acceptFailures = 0;
      Dispatch(association);
      continue;
    }
    // A peer that left, sent no request in time or not a DICOM one: its
    // connection is closed and the listener goes on.
    DiscardAssociation(association);
    if (cond == DUL_NOASSOCIATIONREQUEST) continue;
    const bool acceptFailed = std::strstr(cond.text(), "accept failed") != nullptr;
    if (!StillListening(network_) || (acceptFailed && ++acceptFailures >= kAcceptFailuresFatal)) {
      error = cond.text();
      status = 1;
      break;
    }
    if (acceptFailed) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Stop();
  Join(true);
  return status;
}

void AssociationAcceptor::Dispatch(T_ASC_Association* association) {
  const DUL_ASSOCIATESERVICEPARAMETERS& request = association->params->DULparams;
  // A connection closed before its request comes back as one with no AE
  // titles: nothing to answer.
  if (request.calledAPTitle[0] == '\0') {
    DiscardAssociation(association);
    return;
  }
  T_ASC_RejectParameters reject{};
  std::string refusal =
      AssociationRefusal(*context_.options, request.calledAPTitle, request.callingAPTitle,
                         request.callingPresentationAddress, reject);
  if (refusal.empty() && !WaitForSlot()) {
    reject = {ASC_RESULT_REJECTEDTRANSIENT, ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
              ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED};
    refusal = std::string(request.callingAPTitle) + "@" + request.callingPresentationAddress +
              ": " + std::to_string(context_.options->maxAssociations) + " associations under way";
  }
  if (!refusal.empty()) {
    context_.log->Event("association refused", refusal);
    ASC_rejectAssociation(association, &reject);
    DiscardAssociation(association);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  associations_.emplace_back();
  auto self = std::prev(associations_.end());
  self->thread = std::thread([this, association, self] { Run(association, self); });
}

bool AssociationAcceptor::WaitForSlot() {
  const std::size_t limit = static_cast<std::size_t>(context_.options->maxAssociations);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kSlotWaitSeconds);
  for (;;) {
    Join(false);
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return false;
    if (associations_.size() < limit) return true;
    if (ended_.wait_until(lock, end) == std::cv_status::timeout) {
      lock.unlock();
      Join(false);
      lock.lock();
      return !stopping_ && associations_.size() < limit;
    }
  }
}

void AssociationAcceptor::Run(T_ASC_Association* association,
                              std::list<Association>::iterator self) {
  {
    NodeScp scp;
    scp.setSharedConfig(config_);
    scp.run(association);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  self->done = true;
  ended_.notify_all();
}

void AssociationAcceptor::Join(bool all) {
  for (;;) {
    std::vector<std::thread> ended;
    bool waitMore = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      for (auto it = associations_.begin(); it != associations_.end();) {
        if (it->done) {
          ended.push_back(std::move(it->thread));
          it = associations_.erase(it);
        } else {
          ++it;
        }
      }
      waitMore = all && !associations_.empty();
      if (ended.empty() && waitMore) ended_.wait_for(lock, std::chrono::milliseconds(200));
    }
    for (std::thread& thread : ended) thread.join();
    if (!waitMore) return;
  }
}
