// The DICOM side of the node: one DcmThreadSCP per association (run by
// association_acceptor), answering C-ECHO and C-STORE. A C-STORE is answered success
// only once the object is on disk in the spool.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/scpthrd.h>

#include <string>

#include "node/node_log.h"
#include "node/node_options.h"
#include "node/spool.h"
#include "node/worker_pool.h"

struct NodeContext {
  const NodeOptions* options;
  Spool* spool;
  WorkerPool* workers;
  NodeLog* log;
};

// Why an association request is refused (for the log), with the answer in
// reject; empty when it is not: a called AE other than ours, or a calling AE
// and address that --allow does not list.
std::string AssociationRefusal(const NodeOptions& options, const std::string& calledAe,
                               const std::string& callingAe, const std::string& peer,
                               T_ASC_RejectParameters& reject);

// The associations' configuration: AE title, port, timeouts, and the presentation
// contexts (Verification, every storage SOP class in every transfer syntax
// the converter reads, uncompressed first).
OFCondition ConfigureScp(DcmSCPConfig& config, const NodeOptions& options);

class NodeScp : public DcmThreadSCP {
 public:
  // The SCPs share one context, set once before the node listens.
  static void SetContext(const NodeContext* context);
  OFCondition run(T_ASC_Association* association) override;

 protected:
  OFCondition handleIncomingCommand(T_DIMSE_Message* message,
                                    const DcmPresentationContextInfo& context) override;
  OFCondition negotiateAssociation() override;
  OFBool checkCalledAETitleAccepted(const OFString& calledAe) override;
  OFBool checkCallingAETitleAccepted(const OFString& callingAe) override;

 private:
  OFCondition HandleStore(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID context);
  // Receives the data set into a new incoming file, with the SHA-256 of the
  // data set; fills error when the object cannot be kept (answered A700). A
  // bad result: the association itself failed.
  OFCondition Receive(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID context,
                      const std::string& path, int fd, std::string& contentHash,
                      std::string& error);
  T_ASC_Association* association_ = nullptr;
};
