#include "node/node_check.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/scu.h>

bool CheckNode(const NodeOptions& options, std::string& error) {
  DcmSCU scu;
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
  OFCondition cond = scu.addPresentationContext(UID_VerificationSOPClass, syntaxes);
  if (cond.good()) cond = scu.initNetwork();
  if (cond.good()) cond = scu.negotiateAssociation();
  if (cond.good()) cond = scu.sendECHORequest(0);
  if (cond.bad()) {
    error = cond.text();
    return false;
  }
  scu.releaseAssociation();
  return true;
}
