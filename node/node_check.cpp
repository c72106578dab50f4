#include "node/node_check.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/scu.h>

#include <memory>

#include "node/tls_layer.h"

namespace {

// DCMTK 3.6.7 keeps the choice of a TLS layer to DcmSCU's subclasses.
class CheckScu : public DcmSCU {
 public:
  using DcmSCU::useSecureConnection;
};

}  // namespace

bool CheckNode(const NodeOptions& options, std::string& error) {
  // Outlives the association that uses it.
  std::unique_ptr<DcmTLSTransportLayer> tls;
  CheckScu scu;
  scu.setAETitle("GSDCHECK");
  scu.setPeerAETitle(options.aeTitle.c_str());
  scu.setPeerHostName(options.checkHost.c_str());
  scu.setPeerPort(static_cast<Uint16>(options.checkPort));
  // Every step has its deadline: a port that takes the connection and says
  // nothing is as dead as one that refuses it.
  scu.setConnectionTimeout(options.acseTimeout);
  scu.setACSETimeout(static_cast<Uint32>(options.acseTimeout));
  scu.setDIMSETimeout(static_cast<Uint32>(options.acseTimeout));
  scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
  OFList<OFString> syntaxes;
  syntaxes.push_back(UID_LittleEndianExplicitTransferSyntax);
  syntaxes.push_back(UID_LittleEndianImplicitTransferSyntax);
  // A node that speaks TLS is checked through TLS: the key and certificate
  // given are shown to it, and its certificate is verified against the
  // authority given.
  if (options.Tls()) {
    tls = std::make_unique<DcmTLSTransportLayer>(NET_REQUESTOR, nullptr, OFTrue);
    if (!LoadTlsFiles(*tls, options, error)) return false;
  }
  OFCondition cond = scu.addPresentationContext(UID_VerificationSOPClass, syntaxes);
  if (cond.good()) cond = scu.initNetwork();
  // Only on the network and association parameters initNetwork made.
  if (cond.good() && tls) cond = scu.useSecureConnection(tls.get());
  if (cond.good()) cond = scu.negotiateAssociation();
  if (cond.good()) cond = scu.sendECHORequest(0);
  if (cond.bad()) {
    error = cond.text();
    return false;
  }
  scu.releaseAssociation();
  return true;
}
