// The command line of gsd-node: where it listens, whom it accepts, where the
// spool and the output are, and how conversions run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One --allow entry: a calling AE title, and the peer's address when given.
struct AllowedPeer {
  std::string aeTitle;
  std::string host;  // empty: any address
  // The addresses host stood for at start (a name is looked up once);
  // empty: host itself, an address.
  std::vector<std::string> addresses;
};

struct NodeOptions {
  std::string aeTitle = "GSDNODE";
  int port = 11112;
  std::string bindAddress;  // an IPv4 address; empty: every address
  // TLS (DCMTK's dcmtls): the node's private key and certificate, and the
  // certificates of the authorities that sign its peers' certificates. All
  // three or none: empty, plain TCP.
  std::string tlsKey, tlsCert, tlsCa;
  std::string spool, out, logPath;
  // Objects declined by rule (not NM, projections): kept there; empty: dropped.
  std::string keepDeclined;
  // What failed/ holds is removed at this age, at start and daily; 0: kept.
  int keepFailedDays = 0;
  std::vector<AllowedPeer> allow;  // empty: every calling AE
  int maxAssociations = 16;
  int workers = 1;
  int acseTimeout = 10;   // seconds from the connection to its association request
  int dimseTimeout = 60;  // seconds from one PDU to the end of the next
  std::uint64_t maxObjectBytes = 512ull << 20;
  std::string nameTemplate = "%i_%d_%t_%u.gsd";
  std::vector<std::string> onGsd;  // program and arguments; the GSD path comes last
  bool acceptNonNm = false;
  bool acceptProjections = false;
  // --check HOST PORT: a C-ECHO to that node instead of serving.
  std::string checkHost;
  int checkPort = 0;

  bool Tls() const { return !tlsKey.empty(); }
};

extern const char* const kNodeUsage;

// -1 when the options are good; else the exit status (0 for --help, 2 for a
// usage error, with message set).
int ParseNodeOptions(int argc, char** argv, NodeOptions& options, std::string& message);

// Whether a calling AE title from a peer address may associate.
bool PeerAllowed(const std::vector<AllowedPeer>& allow, const std::string& callingAe,
                 const std::string& peerAddress);
