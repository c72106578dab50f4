#include "node/tls_layer.h"

#include <cstring>
#include <utility>

#include "platform/descriptor.h"
#include "platform/input_file.h"

WatchedTlsTransportLayer::WatchedTlsTransportLayer(ConnectionWatch& watch, HandshakeRefusal refused)
    : DcmTLSTransportLayer(NET_ACCEPTOR, nullptr, OFTrue),
      watch_(watch),
      refused_(std::move(refused)) {}

DcmTransportConnection* WatchedTlsTransportLayer::createConnection(DcmNativeSocketType socket,
                                                                   OFBool useSecureLayer) {
  return WatchConnection(DcmTLSTransportLayer::createConnection(socket, useSecureLayer), socket,
                         watch_, refused_);
}

namespace {

// One of the files, opened by the node itself: a FIFO or a folder is
// refused before OpenSSL would wait on it or read it, and OpenSSL reads
// the very file looked at, by the descriptor's name.
struct TlsFile {
  std::string option, path;
  UniqueFd fd;
  // The name OpenSSL opens; empty with error set when the file cannot be
  // read.
  std::string Open(std::string& error) {
    FileStatus status;
    const int opened = OpenRegularFile(path, fd, status);
    if (opened == kNotRegularFile) {
      error = option + " " + path + ": not a regular file";
      return {};
    }
    if (opened != 0) {
      error = option + " " + path + ": cannot read it: " + std::strerror(opened);
      return {};
    }
    const std::string name = NameOfOpenFile(fd.get());
    return name.empty() ? path : name;
  }
  std::string Refusal(const char* what, const OFCondition& cond) const {
    return option + " " + path + ": " + what + " (" + cond.text() + ")";
  }
  // Whether the file's PEM text marks the key as encrypted (PKCS #8's
  // ENCRYPTED PRIVATE KEY, or the older Proc-Type: 4,ENCRYPTED).
  bool Encrypted() const {
    char head[8192];
    const long long got = ReadAt(fd.get(), head, sizeof head, 0);
    return got > 0 &&
           std::string(head, static_cast<std::size_t>(got)).find("ENCRYPTED") != std::string::npos;
  }
};

}  // namespace

bool LoadTlsFiles(DcmTLSTransportLayer& layer, const NodeOptions& options, std::string& error) {
  TlsFile key{"--tls-key", options.tlsKey, {}}, cert{"--tls-cert", options.tlsCert, {}},
      ca{"--tls-ca", options.tlsCa, {}};
  const std::string keyName = key.Open(error);
  if (keyName.empty()) return false;
  const std::string certName = cert.Open(error);
  if (certName.empty()) return false;
  const std::string caName = ca.Open(error);
  if (caName.empty()) return false;

  // A service has no one to type a password: an encrypted key is refused,
  // and OpenSSL is given an empty one rather than ask on a terminal.
  if (key.Encrypted()) {
    error = "--tls-key " + key.path +
            ": the key is protected by a password, which the node cannot be given (store it "
            "without one, readable by the node's user only)";
    return false;
  }
  layer.setPrivateKeyPasswd("");
  OFCondition cond = layer.setPrivateKeyFile(keyName.c_str(), DCF_Filetype_PEM);
  if (cond.bad()) {
    error = key.Refusal("not a PEM private key", cond);
    return false;
  }
  cond = layer.setCertificateFile(certName.c_str(), DCF_Filetype_PEM);
  if (cond.bad()) {
    error = cert.Refusal("not a PEM certificate", cond);
    return false;
  }
  if (!layer.checkPrivateKeyMatchesCertificate()) {
    error = "--tls-key " + key.path + " is not the private key of --tls-cert " + cert.path;
    return false;
  }
  cond = layer.addTrustedCertificateFile(caName.c_str(), DCF_Filetype_PEM);
  if (cond.bad()) {
    error = ca.Refusal("no PEM certificate in it", cond);
    return false;
  }
  layer.setCertificateVerification(DCV_requireCertificate);
  cond = layer.setTLSProfile(TSP_Profile_BCP195_ND);
  if (cond.good()) cond = layer.activateCipherSuites();
  if (cond.bad()) {
    error = std::string("TLS: ") + cond.text();
    return false;
  }
  return true;
}
