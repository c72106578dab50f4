#include "node/storage_scp.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dimse.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "node/object_info.h"
#include "node/received_object.h"
#include "platform/durable_folder.h"
#include "platform/file_descriptor.h"
#include "process/converter_outcome.h"

namespace {

const NodeContext* g_context = nullptr;

// Uncompressed first: the peer's proposal is answered with the first of
// these it offers. Then every encoding the converter decodes.
// Not const: DCMTK takes the list as const char**.
const char* kTransferSyntaxes[] = {
    UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax,
    UID_BigEndianExplicitTransferSyntax,    UID_DeflatedExplicitVRLittleEndianTransferSyntax,
    UID_JPEGProcess14SV1TransferSyntax,     UID_JPEGProcess14TransferSyntax,
    UID_JPEGLSLosslessTransferSyntax,       UID_RLELosslessTransferSyntax,
    UID_JPEG2000LosslessOnlyTransferSyntax, UID_JPEG2000TransferSyntax,
    UID_JPEGLSLossyTransferSyntax,          UID_JPEGProcess1TransferSyntax,
    UID_JPEGProcess2_4TransferSyntax,
};
constexpr int kUncompressedSyntaxes = 3;

// The file meta information of a received object, as DCMTK's storage SCPs
// write it, with the calling AE as Source Application Entity Title.
OFCondition WriteMetaHeader(DcmOutputStream& stream, const T_DIMSE_C_StoreRQ& request,
                            const OFString& transferSyntax, const OFString& callingAe) {
  DcmMetaInfo meta;
  const Uint8 version[] = {0, 1};
  meta.putAndInsertUint8Array(DCM_FileMetaInformationVersion, version, 2);
  meta.putAndInsertString(DCM_MediaStorageSOPClassUID, request.AffectedSOPClassUID);
  meta.putAndInsertString(DCM_MediaStorageSOPInstanceUID, request.AffectedSOPInstanceUID);
  meta.putAndInsertString(DCM_TransferSyntaxUID, transferSyntax.c_str());
  meta.putAndInsertString(DCM_ImplementationClassUID, OFFIS_IMPLEMENTATION_CLASS_UID);
  meta.putAndInsertString(DCM_ImplementationVersionName, OFFIS_DTK_IMPLEMENTATION_VERSION_NAME);
  meta.putAndInsertString(DCM_SourceApplicationEntityTitle, callingAe.c_str());
  OFCondition cond = meta.computeGroupLengthAndPadding(
      EGL_withGL, EPD_noChange, EXS_LittleEndianExplicit, EET_UndefinedLength);
  if (cond.bad()) return cond;
  meta.transferInit();
  cond = meta.write(stream, EXS_LittleEndianExplicit, EET_ExplicitLength, nullptr);
  meta.transferEnd();
  return cond;
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

OFCondition ConfigureScp(DcmSCPConfig& config, const NodeOptions& options) {
  config.setAETitle(options.aeTitle.c_str());
  config.setPort(static_cast<Uint16>(options.port));
  config.setACSETimeout(static_cast<Uint32>(options.acseTimeout));
  config.setDIMSETimeout(static_cast<Uint32>(options.dimseTimeout));
  config.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
  // The listener wakes every second to see whether it should stop.
  config.setConnectionBlockingMode(DUL_NOBLOCK);
  config.setConnectionTimeout(1);
  config.setHostLookupEnabled(OFFalse);
  // The storage classes outnumber what a configuration profile holds (128):
  // NodeScp::negotiateAssociation accepts them itself.
  OFList<OFString> uncompressed;
  for (int i = 0; i < kUncompressedSyntaxes; ++i) uncompressed.push_back(kTransferSyntaxes[i]);
  return config.addPresentationContext(UID_VerificationSOPClass, uncompressed);
}

void NodeScp::SetContext(const NodeContext* context) {
  g_context = context;
}

OFCondition NodeScp::run(T_ASC_Association* association) {
  association_ = association;
  OFCondition result = DcmThreadSCP::run(association);
  association_ = nullptr;
  return result;
}

OFCondition NodeScp::negotiateAssociation() {
  if (association_ == nullptr) return DIMSE_ILLEGALASSOCIATION;
  const char* verification[] = {UID_VerificationSOPClass};
  OFCondition cond = ASC_acceptContextsWithPreferredTransferSyntaxes(
      association_->params, verification, 1, kTransferSyntaxes, kUncompressedSyntaxes);
  if (cond.good())
    cond = ASC_acceptContextsWithPreferredTransferSyntaxes(
        association_->params, dcmAllStorageSOPClassUIDs, numberOfDcmAllStorageSOPClassUIDs,
        kTransferSyntaxes,
        static_cast<int>(sizeof kTransferSyntaxes / sizeof kTransferSyntaxes[0]));
  return cond;
}

std::string AssociationRefusal(const NodeOptions& options, const std::string& calledAe,
                               const std::string& callingAe, const std::string& peer,
                               T_ASC_RejectParameters& reject) {
  reject.result = ASC_RESULT_REJECTEDPERMANENT;
  reject.source = ASC_SOURCE_SERVICEUSER;
  if (calledAe != options.aeTitle) {
    reject.reason = ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED;
    return "called AE " + calledAe + " from " + peer;
  }
  if (!PeerAllowed(options.allow, callingAe, peer)) {
    reject.reason = ASC_REASON_SU_CALLINGAETITLENOTRECOGNIZED;
    return callingAe + "@" + peer;
  }
  return {};
}

// The acceptor refused what these refuse already; they hold for an
// association that reaches a NodeScp any other way.
OFBool NodeScp::checkCalledAETitleAccepted(const OFString& calledAe) {
  return calledAe == g_context->options->aeTitle.c_str();
}

OFBool NodeScp::checkCallingAETitleAccepted(const OFString& callingAe) {
  return PeerAllowed(g_context->options->allow, callingAe.c_str(), getPeerIP().c_str());
}

OFCondition NodeScp::handleIncomingCommand(T_DIMSE_Message* message,
                                           const DcmPresentationContextInfo& context) {
  if (message->CommandField == DIMSE_C_STORE_RQ)
    return HandleStore(message->msg.CStoreRQ, context.presentationContextID);
  return DcmThreadSCP::handleIncomingCommand(message, context);
}

OFCondition NodeScp::Receive(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID context,
                             const std::string& path, int fd, std::string& contentHash,
                             std::string& error) {
  OFString abstractSyntax, transferSyntax;
  findPresentationContext(context, abstractSyntax, transferSyntax);
  ReceivedObjectStream stream(fd, g_context->options->maxObjectBytes);
  WriteMetaHeader(stream, request, transferSyntax, getPeerAETitle());
  stream.BeginDataSet();
  // A write that fails (or the size limit) makes DCMTK read and drop the
  // rest of the data set, so the association goes on.
  T_ASC_PresentationContextID received = context;
  OFCondition cond =
      DIMSE_receiveDataSetInFile(association_, DIMSE_NONBLOCKING, g_context->options->dimseTimeout,
                                 &received, &stream, nullptr, nullptr);
  stream.flush();
  // The spool syncs what it keeps (Enqueue, MoveIntoFolder).
  if (!stream.error().empty()) error = stream.error();
  contentHash = stream.ContentHash();
  const int closed = CloseDescriptor(fd);
  if (closed != 0 && error.empty() && cond.good())
    error = std::string("close: ") + std::strerror(closed);
  if (!error.empty()) {
    RemoveFileByName(path);
    return EC_Normal;
  }
  if (cond.bad()) RemoveFileByName(path);
  return cond;
}

namespace {

// What became of a received object: the response's status, and the queue's
// key when it waits for conversion.
struct Disposal {
  Uint16 status = STATUS_Success;
  bool queued = false;
  std::string key;
  std::string contentHash;  // of the data set as received
};

void Refused(const std::string& error, Disposal& disposal, ObjectLogEntry& entry) {
  disposal.status = STATUS_STORE_Refused_OutOfResources;
  entry.outcome = "refused";
  entry.message = error;
}

// An object that is not for conversion: dropped, or kept in --keep-declined.
void KeepOther(const NodeContext& node, const std::string& path, const ObjectInfo& info,
               Disposal& disposal, ObjectLogEntry& entry) {
  entry.outcome = "not-nm";
  std::string error;
  if (node.options->keepDeclined.empty()) {
    RemoveFileByName(path);
  } else if (!MoveIntoFolder(path, node.options->keepDeclined, UidKey(info.sopInstanceUid) + ".dcm",
                             entry.output, error)) {
    RemoveFileByName(path);
    Refused(error, disposal, entry);
  }
}

void Enqueue(const NodeContext& node, const std::string& path, const ObjectInfo& info,
             Disposal& disposal, ObjectLogEntry& entry) {
  std::string error;
  disposal.key = UidKey(info.sopInstanceUid);
  // The key comes back as the one it is queued under.
  switch (node.spool->Enqueue(path, disposal.key, error, disposal.contentHash)) {
    case Spool::Queued::kQueued:
      disposal.queued = true;
      break;
    case Spool::Queued::kDuplicate:
      entry.outcome = "duplicate";
      break;
    case Spool::Queued::kFailed:
      Refused(error, disposal, entry);
      break;
  }
}

// Sends a complete object in the spool where it belongs, by what it holds.
Disposal Dispose(const NodeContext& node, const T_DIMSE_C_StoreRQ& request, const std::string& path,
                 const std::string& contentHash, ObjectLogEntry& entry) {
  Disposal disposal;
  disposal.contentHash = contentHash;
  ObjectInfo info;
  ReadObjectInfo(path, info);
  if (info.sopInstanceUid.empty()) info.sopInstanceUid = request.AffectedSOPInstanceUID;
  entry.sopInstanceUid = info.sopInstanceUid;
  entry.patientId = info.patientId;
  entry.modality = info.modality;
  if (!GoesToConverter(info.modality, info.sopClassUid, node.options->acceptNonNm))
    KeepOther(node, path, info, disposal, entry);
  else
    Enqueue(node, path, info, disposal, entry);
  return disposal;
}

}  // namespace

OFCondition NodeScp::HandleStore(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID context) {
  const auto start = std::chrono::steady_clock::now();
  const NodeContext& node = *g_context;
  ObjectLogEntry entry;
  entry.callingAe = getPeerAETitle().c_str();
  entry.peer = getPeerIP().c_str();
  entry.sopInstanceUid = request.AffectedSOPInstanceUID;
  std::string path, error, contentHash;
  int fd = node.spool->CreateIncoming(path);
  if (fd < 0) {
    // The data set is read and dropped so that the association goes on.
    error = "spool: " + std::string(std::strerror(errno));
    DIC_UL bytes = 0, pdvs = 0;
    OFCondition cond = DIMSE_ignoreDataSet(association_, DIMSE_NONBLOCKING,
                                           node.options->dimseTimeout, &bytes, &pdvs);
    if (cond.bad()) return cond;
  } else {
    OFCondition cond = Receive(request, context, path, fd, contentHash, error);
    if (cond.bad()) {
      entry.outcome = "refused";
      entry.message = std::string("reception failed: ") + cond.text();
      node.log->Write(entry);
      return cond;
    }
  }
  entry.receiveMs = MillisecondsSince(start);
  Disposal disposal;
  if (!error.empty())
    Refused(error, disposal, entry);
  else
    disposal = Dispose(node, request, path, contentHash, entry);
  OFCondition sent = sendSTOREResponse(context, request, disposal.status);
  // A queued object is logged once, when its conversion ends.
  if (disposal.queued)
    node.workers->Push(
        {disposal.key, entry.callingAe, entry.peer, entry.receiveMs, 0, disposal.contentHash});
  else
    node.log->Write(entry);
  return sent;
}
