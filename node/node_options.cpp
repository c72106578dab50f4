#include "node/node_options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "output/name_template.h"
#include "platform/host_addresses.h"

const char* const kNodeUsage =
    "usage: gsd-node [--aet TITLE] [--port N] --spool DIR --out DIR [options]\n"
    "       gsd-node --check HOST PORT [--aet TITLE] [--acse-timeout S]\n"
    "\n"
    "Receives DICOM objects by C-STORE, spools them durably and converts every\n"
    "gated SPECT study (modality NM) to a GSD file in --out with dicom2gsd.\n"
    "\n"
    "  --aet TITLE             called AE title answered (default GSDNODE)\n"
    "  --port N                TCP port (default 11112)\n"
    "  --bind ADDRESS          listen on this IPv4 address only (default: all);\n"
    "                          DCMTK 3.6.7's acceptor takes no IPv6\n"
    "  --spool DIR             spool folder: incoming/, queue/, work/, done/\n"
    "  --out DIR               GSD files; failed/ inside it holds the objects\n"
    "                          whose conversion failed\n"
    "  --allow AE[@HOST]       accept only these calling AE titles (and addresses;\n"
    "                          a host name is looked up at start);\n"
    "                          repeatable; default: every calling AE\n"
    "  --max-associations N    associations at once (default 16); one more waits\n"
    "                          up to 5 s for a slot, then is refused\n"
    "  --workers N             conversions at once (default 1)\n"
    "  --acse-timeout S        a connection's association request must be complete\n"
    "                          within S seconds, or it is closed (default 10)\n"
    "  --dimse-timeout S       once associated, each PDU must be complete within S\n"
    "                          seconds of the previous one (default 60)\n"
    "  --max-object-size MIB   larger objects are refused with A700 (default 512)\n"
    "  --name TEMPLATE         output name: %i patient ID, %d study date, %t study\n"
    "                          time, %u SOP Instance UID suffix, %% a percent sign\n"
    "                          (default %i_%d_%t_%u.gsd)\n"
    "  --keep-declined DIR     keep the objects not converted by rule (not NM,\n"
    "                          projections) there instead of dropping them;\n"
    "                          --keep-other is its earlier name\n"
    "  --on-gsd 'PROGRAM ARG...'  run PROGRAM (absolute path, words split at spaces,\n"
    "                          no shell) with the new GSD's path as last argument\n"
    "  --keep-failed-days N   remove what failed/ holds once it is N days old, at\n"
    "                          start and daily (default: kept)\n"
    "  --tls-key FILE          TLS: the node's private key (PEM)\n"
    "  --tls-cert FILE         TLS: the node's certificate (PEM)\n"
    "  --tls-ca FILE           TLS: the certificates (PEM) that sign the peers'\n"
    "                          certificates; a peer without one is refused.\n"
    "                          The three go together (with --check too)\n"
    "  --log FILE              append the JSON-lines log there (default stdout)\n"
    "  --accept-non-nm         passed to dicom2gsd\n"
    "  --accept-projections    passed to dicom2gsd\n"
    "  --check HOST PORT       send a C-ECHO to the node there (called AE: --aet)\n"
    "                          and exit 0 when it answers within --acse-timeout,\n"
    "                          else 1; for monitors\n"
    "\n"
    "SIGTERM and SIGINT stop the node; SIGHUP opens the --log file again.\n";

namespace {

bool ParseInt(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.size() > 10) return false;
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

// The AE title rules of PS3.5: 1 to 16 characters of the default repertoire,
// no control characters or backslash, not all spaces.
bool ValidAeTitle(const std::string& title) {
  if (title.empty() || title.size() > 16) return false;
  bool printable = false;
  for (unsigned char c : title) {
    if (c < 0x20 || c > 0x7E || c == '\\') return false;
    if (c != ' ') printable = true;
  }
  return printable;
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

// The options that take a number: its range and the refusal out of it.
struct NumberOption {
  const char* name;
  long low, high;
  int NodeOptions::*into;
  const char* refusal;
};
const NumberOption kNumberOptions[] = {
    {"--port", 1, 65535, &NodeOptions::port, "--port needs a number from 1 to 65535"},
    {"--max-associations", 1, 64, &NodeOptions::maxAssociations,
     "--max-associations needs a number from 1 to 64"},
    {"--workers", 1, 64, &NodeOptions::workers, "--workers needs a number from 1 to 64"},
    {"--acse-timeout", 1, 3600, &NodeOptions::acseTimeout,
     "--acse-timeout needs seconds from 1 to 3600"},
    {"--dimse-timeout", 1, 3600, &NodeOptions::dimseTimeout,
     "--dimse-timeout needs seconds from 1 to 3600"},
    {"--keep-failed-days", 1, 36500, &NodeOptions::keepFailedDays,
     "--keep-failed-days needs a number of days from 1 to 36500"},
};

// The options that take a folder or file; an empty one is refused.
struct PathOption {
  const char* name;
  std::string NodeOptions::*into;
};
const PathOption kPathOptions[] = {
    {"--spool", &NodeOptions::spool},
    {"--out", &NodeOptions::out},
    {"--keep-declined", &NodeOptions::keepDeclined},
    {"--keep-other", &NodeOptions::keepDeclined},
    {"--log", &NodeOptions::logPath},
    {"--tls-key", &NodeOptions::tlsKey},
    {"--tls-cert", &NodeOptions::tlsCert},
    {"--tls-ca", &NodeOptions::tlsCa},
};

struct FlagOption {
  const char* name;
  bool NodeOptions::*into;
};
const FlagOption kFlagOptions[] = {
    {"--accept-non-nm", &NodeOptions::acceptNonNm},
    {"--accept-projections", &NodeOptions::acceptProjections},
};

// The options whose value has rules of its own: apply returns the refusal,
// or empty once the value is stored.
struct TextOption {
  const char* name;
  const char* missing;  // the refusal when no value follows
  std::string (*apply)(const std::string& value, NodeOptions& options);
};

std::string ApplyAeTitle(const std::string& value, NodeOptions& options) {
  if (!ValidAeTitle(value)) return "--aet needs an AE title of 1 to 16 characters";
  options.aeTitle = value;
  return {};
}

std::string ApplyBind(const std::string& value, NodeOptions& options) {
  in_addr parsed{};
  in6_addr parsed6{};
  const bool bracketed = value.size() > 2 && value.front() == '[' && value.back() == ']';
  std::string bare = bracketed ? value.substr(1, value.size() - 2) : value;
  bare = bare.substr(0, bare.find('%'));  // a link-local address's zone
  // DCMTK 3.6.7 makes its listening socket IPv4 and writes a peer's address
  // as IPv4 (the --allow checks and the log read it): no IPv6 listener
  // without a network layer of our own.
  if (::inet_pton(AF_INET6, bare.c_str(), &parsed6) == 1)
    return "--bind " + value +
           ": IPv6 is not supported: DCMTK 3.6.7's acceptor listens on IPv4 only (give an IPv4 "
           "address, or none for every IPv4 address)";
  if (::inet_pton(AF_INET, value.c_str(), &parsed) != 1)
    return "--bind needs an IPv4 address such as 10.1.2.3";
  options.bindAddress = value;
  return {};
}

std::string ApplyAllow(const std::string& value, NodeOptions& options) {
  AllowedPeer peer;
  std::size_t at = value.rfind('@');
  peer.aeTitle = value.substr(0, at);
  if (at != std::string::npos) peer.host = value.substr(at + 1);
  if (!ValidAeTitle(peer.aeTitle) || (at != std::string::npos && peer.host.empty()))
    return "--allow '" + value + "' is not AE[@HOST]";
  in_addr literal{};
  std::string error;
  // A name never matches a peer's address as text: it is looked up now.
  if (!peer.host.empty() && ::inet_pton(AF_INET, peer.host.c_str(), &literal) != 1 &&
      !Ipv4AddressesOf(peer.host, peer.addresses, error))
    return "--allow '" + value + "': " + peer.host + " does not resolve to an IPv4 address (" +
           error + ")";
  options.allow.push_back(peer);
  return {};
}

std::string ApplyObjectSize(const std::string& value, NodeOptions& options) {
  long mib = 0;
  if (!ParseInt(value, 1, 65536, mib)) return "--max-object-size needs MiB from 1 to 65536";
  options.maxObjectBytes = static_cast<std::uint64_t>(mib) << 20;
  return {};
}

std::string ApplyNameTemplate(const std::string& value, NodeOptions& options) {
  std::string error = NameTemplateError(value);
  if (!error.empty()) return "--name: " + error;
  options.nameTemplate = value;
  return {};
}

std::string ApplyOnGsd(const std::string& value, NodeOptions& options) {
  options.onGsd = SplitWords(value);
  if (options.onGsd.empty() || options.onGsd[0][0] != '/')
    return "--on-gsd needs a program by its absolute path";
  return {};
}

const TextOption kTextOptions[] = {
    {"--aet", "--aet needs an AE title of 1 to 16 characters", ApplyAeTitle},
    {"--bind", "--bind needs an IPv4 address", ApplyBind},
    {"--allow", "--allow needs AE[@HOST]", ApplyAllow},
    {"--max-object-size", "--max-object-size needs MiB from 1 to 65536", ApplyObjectSize},
    {"--name", "--name needs a template", ApplyNameTemplate},
    {"--on-gsd", "--on-gsd needs a command", ApplyOnGsd},
};

template <typename Row, std::size_t N>
const Row* Find(const Row (&rows)[N], const std::string& arg) {
  for (const Row& row : rows)
    if (arg == row.name) return &row;
  return nullptr;
}

// Takes the option at argv[i] and its value (i moves past it). Returns the
// refusal, or empty.
std::string TakeOption(int argc, char** argv, int& i, NodeOptions& options) {
  const std::string arg = argv[i];
  const bool hasValue = i + 1 < argc;
  if (const FlagOption* flag = Find(kFlagOptions, arg)) {
    options.*flag->into = true;
    return {};
  }
  if (const NumberOption* number = Find(kNumberOptions, arg)) {
    long parsed = 0;
    if (!hasValue || !ParseInt(argv[++i], number->low, number->high, parsed))
      return number->refusal;
    options.*number->into = static_cast<int>(parsed);
    return {};
  }
  if (const PathOption* path = Find(kPathOptions, arg)) {
    if (!hasValue || argv[++i][0] == '\0') return arg + " needs a path";
    options.*path->into = argv[i];
    return {};
  }
  if (const TextOption* text = Find(kTextOptions, arg)) {
    if (!hasValue) return text->missing;
    return text->apply(argv[++i], options);
  }
  return "unknown argument " + arg;
}

}  // namespace

int ParseNodeOptions(int argc, char** argv, NodeOptions& options, std::string& message) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      message = kNodeUsage;
      return 0;
    }
    if (arg == "--version") {
      message = std::string("gsd-node ") + DGC_VERSION + "\n";
      return 0;
    }
    if (arg == "--check") {
      long port = 0;
      if (i + 2 >= argc || argv[i + 1][0] == '\0' || !ParseInt(argv[i + 2], 1, 65535, port)) {
        message = "--check needs a host and a port from 1 to 65535";
        return 2;
      }
      options.checkHost = argv[i + 1];
      options.checkPort = static_cast<int>(port);
      i += 2;
      continue;
    }
    const std::string refusal = TakeOption(argc, argv, i, options);
    if (!refusal.empty()) {
      message = refusal;
      return 2;
    }
  }
  if (options.checkHost.empty() && (options.spool.empty() || options.out.empty())) {
    message = "--spool and --out are needed";
    return 2;
  }
  const bool key = !options.tlsKey.empty(), cert = !options.tlsCert.empty(),
             ca = !options.tlsCa.empty();
  if ((key || cert || ca) && !(key && cert && ca)) {
    message = std::string("--tls-key, --tls-cert and --tls-ca go together; missing:") +
              (key ? "" : " --tls-key") + (cert ? "" : " --tls-cert") + (ca ? "" : " --tls-ca");
    return 2;
  }
  return -1;
}

bool PeerAllowed(const std::vector<AllowedPeer>& allow, const std::string& callingAe,
                 const std::string& peerAddress) {
  if (allow.empty()) return true;
  for (const AllowedPeer& peer : allow)
    if (peer.aeTitle == callingAe && (peer.host.empty() || peer.host == peerAddress ||
                                      std::find(peer.addresses.begin(), peer.addresses.end(),
                                                peerAddress) != peer.addresses.end()))
      return true;
  return false;
}
