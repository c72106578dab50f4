// TLS for the node's DICOM connections, with DCMTK's dcmtls (OpenSSL): the
// node's private key and certificate, and the authorities whose signature a
// peer's certificate must carry. A peer without a certificate, or with one
// those authorities did not sign, fails the handshake and is never
// associated.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <string>

#include "node/connection_watch.h"
#include "node/node_options.h"

// The listener's layer: every connection DCMTK's TLS layer makes is
// watched, its handshake under the association request's deadline; a
// failed handshake is told to refused.
class WatchedTlsTransportLayer : public DcmTLSTransportLayer {
 public:
  WatchedTlsTransportLayer(ConnectionWatch& watch, HandshakeRefusal refused);
  DcmTransportConnection* createConnection(DcmNativeSocketType socket,
                                           OFBool useSecureLayer) override;

 private:
  ConnectionWatch& watch_;
  HandshakeRefusal refused_;
};

// Loads --tls-key, --tls-cert and --tls-ca into layer, checks that the key
// is the certificate's, and makes the peer's certificate required and
// verified (DICOM's non-downgrading BCP 195 profile, as storescu's
// default). False with error naming the option, its file and the reason.
bool LoadTlsFiles(DcmTLSTransportLayer& layer, const NodeOptions& options, std::string& error);
