#include "node_options.h"

#include <cerrno>
#include <cstdlib>

#include "name_template.h"

const char* const kNodeUsage =
    "usage: gsd-node [--aet TITLE] [--port N] --spool DIR --out DIR [options]\n"
    "\n"
    "Receives DICOM objects by C-STORE, spools them durably and converts every\n"
    "gated SPECT study (modality NM) to a GSD file in --out with dicom2gsd.\n"
    "\n"
    "  --aet TITLE             called AE title answered (default GSDNODE)\n"
    "  --port N                TCP port (default 11112)\n"
    "  --spool DIR             spool folder: incoming/, queue/, work/, done/\n"
    "  --out DIR               GSD files; failed/ inside it holds refused objects\n"
    "  --allow AE[@HOST]       accept only these calling AE titles (and addresses);\n"
    "                          repeatable; default: every calling AE\n"
    "  --max-associations N    associations at once (default 4)\n"
    "  --workers N             conversions at once (default 1)\n"
    "  --acse-timeout S        association negotiation timeout (default 30)\n"
    "  --dimse-timeout S       DIMSE message timeout (default 60)\n"
    "  --max-object-size MIB   larger objects are refused with A700 (default 512)\n"
    "  --name TEMPLATE         output name: %i patient ID, %d study date, %t study\n"
    "                          time, %u SOP Instance UID suffix, %% a percent sign\n"
    "                          (default %i_%d_%t_%u.gsd)\n"
    "  --keep-other DIR        keep objects that are not NM there instead of dropping\n"
    "  --on-gsd 'PROGRAM ARG...'  run PROGRAM (absolute path, words split at spaces,\n"
    "                          no shell) with the new GSD's path as last argument\n"
    "  --log FILE              append the JSON-lines log there (default stdout)\n"
    "  --accept-non-nm         passed to dicom2gsd\n"
    "  --accept-projections    passed to dicom2gsd\n";

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

}  // namespace

int ParseNodeOptions(int argc, char** argv, NodeOptions& options, std::string& message) {
  auto usage = [&message](const std::string& why) {
    message = why;
    return 2;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    auto next = [&]() {
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };
    auto number = [&](long low, long high, int& into) {
      long parsed = 0;
      if (!next()) return false;
      if (!ParseInt(value, low, high, parsed)) return false;
      into = static_cast<int>(parsed);
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      message = kNodeUsage;
      return 0;
    } else if (arg == "--version") {
      message = std::string("gsd-node ") + DGC_VERSION + "\n";
      return 0;
    } else if (arg == "--aet") {
      if (!next() || !ValidAeTitle(value))
        return usage("--aet needs an AE title of 1 to 16 characters");
      options.aeTitle = value;
    } else if (arg == "--port") {
      if (!number(1, 65535, options.port)) return usage("--port needs a number from 1 to 65535");
    } else if (arg == "--spool" || arg == "--out" || arg == "--keep-other" || arg == "--log") {
      if (!next() || value.empty()) return usage(arg + " needs a path");
      std::string& into = arg == "--spool" ? options.spool
                          : arg == "--out" ? options.out
                          : arg == "--log" ? options.logPath
                                           : options.keepOther;
      into = value;
    } else if (arg == "--allow") {
      if (!next()) return usage("--allow needs AE[@HOST]");
      AllowedPeer peer;
      std::size_t at = value.rfind('@');
      peer.aeTitle = value.substr(0, at);
      if (at != std::string::npos) peer.host = value.substr(at + 1);
      if (!ValidAeTitle(peer.aeTitle) || (at != std::string::npos && peer.host.empty()))
        return usage("--allow '" + value + "' is not AE[@HOST]");
      options.allow.push_back(peer);
    } else if (arg == "--max-associations") {
      if (!number(1, 64, options.maxAssociations))
        return usage("--max-associations needs a number from 1 to 64");
    } else if (arg == "--workers") {
      if (!number(1, 64, options.workers)) return usage("--workers needs a number from 1 to 64");
    } else if (arg == "--acse-timeout" || arg == "--dimse-timeout") {
      int& into = arg == "--acse-timeout" ? options.acseTimeout : options.dimseTimeout;
      if (!number(1, 3600, into)) return usage(arg + " needs seconds from 1 to 3600");
    } else if (arg == "--max-object-size") {
      int mib = 0;
      if (!number(1, 65536, mib)) return usage("--max-object-size needs MiB from 1 to 65536");
      options.maxObjectBytes = static_cast<std::uint64_t>(mib) << 20;
    } else if (arg == "--name") {
      if (!next()) return usage("--name needs a template");
      std::string error = NameTemplateError(value);
      if (!error.empty()) return usage("--name: " + error);
      options.nameTemplate = value;
    } else if (arg == "--on-gsd") {
      if (!next()) return usage("--on-gsd needs a command");
      options.onGsd = SplitWords(value);
      if (options.onGsd.empty() || options.onGsd[0][0] != '/')
        return usage("--on-gsd needs a program by its absolute path");
    } else if (arg == "--accept-non-nm") {
      options.acceptNonNm = true;
    } else if (arg == "--accept-projections") {
      options.acceptProjections = true;
    } else {
      return usage("unknown argument " + arg);
    }
  }
  if (options.spool.empty() || options.out.empty()) return usage("--spool and --out are needed");
  return -1;
}

bool PeerAllowed(const std::vector<AllowedPeer>& allow, const std::string& callingAe,
                 const std::string& peerAddress) {
  if (allow.empty()) return true;
  for (const AllowedPeer& peer : allow)
    if (peer.aeTitle == callingAe && (peer.host.empty() || peer.host == peerAddress)) return true;
  return false;
}
