// gsd-node: a DICOM storage node that turns every gated SPECT study sent to
// it into a GSD file. Objects are spooled durably before the C-STORE
// response, converted by a bounded pool of dicom2gsd processes, and logged
// one JSON line each. SIGTERM (or SIGINT) stops accepting associations,
// ends the current ones within their deadlines, lets the conversions under
// way end, and exits 0; SIGHUP opens the log file again. A listening socket
// that fails ends the node with 1, for its supervisor to restart it.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/oflog/oflog.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "node/association_acceptor.h"
#include "node/failed_pruning.h"
#include "node/node_check.h"
#include "node/node_log.h"
#include "node/node_options.h"
#include "node/spool.h"
#include "node/storage_scp.h"
#include "node/worker_pool.h"
#include "platform/daemon_signals.h"
#include "platform/durable_folder.h"
#include "platform/listen_address.h"
#include "platform/program_folder.h"
#include "platform/service_manager.h"
#include "process/child_process.h"

namespace {

// The folder as an absolute path without links, for the log and the
// programs it is handed to.
bool UsableFolder(std::string& path, std::string& error, bool ownFolder = false) {
  int made = MakeFolder(path, kNodeFolderPermissions);
  // A folder made here gets its permissions whatever the umask, and keeps
  // the set-group-ID bit a parent set up for its readers' group passed on.
  PathFacts madeFacts;
  if (made == 0 && (made = LookAtPath(path, false, madeFacts)) == 0)
    made = SetPermissionsByName(path, kNodeFolderPermissions | (madeFacts.permissions & 02000));
  if (made != 0 && made != EEXIST) {
    error = path + ": " + std::strerror(made);
    return false;
  }
  // The configured folders may be links the administrator made; failed/
  // inside the output folder is the node's own and must not be one.
  PathFacts facts;
  if (LookAtPath(path, !ownFolder, facts) != 0 || !facts.folder) {
    error = path + ": not a folder";
    return false;
  }
  std::string resolved;
  if (const int unresolved = ResolvedPath(path, resolved)) {
    error = path + ": " + std::strerror(unresolved);
    return false;
  }
  path = resolved;
  return true;
}

int Fatal(const std::string& message) {
  std::fprintf(stderr, "gsd-node: %s\n", message.c_str());
  return 1;
}

// The converter is the one installed beside this program, never one from
// PATH or a relative path. Empty with error set when it is not there.
std::string FindConverter(std::string& error) {
  const std::string converter = ProgramBeside("dicom2gsd");
  if (converter.empty()) {
    error = "cannot tell this program's folder from /proc/self/exe";
    return {};
  }
  if (const int refused = MayRun(converter)) {
    error = converter + ": " + std::strerror(refused);
    return {};
  }
  return converter;
}

// The output, its failed/, the folder for other objects and the spool, made
// when missing and resolved; the spool opened.
bool OpenFolders(NodeOptions& options, Spool& spool, std::string& error) {
  std::string failed = options.out + "/failed";
  return UsableFolder(options.out, error) && UsableFolder(failed, error, true) &&
         (options.keepDeclined.empty() || UsableFolder(options.keepDeclined, error)) &&
         UsableFolder(options.spool, error) && spool.Open(options.spool, error);
}

// Takes the signals until one stops the node (or the node ends of itself:
// the wake signal from Serve once ended set, never logged; one from outside
// is ignored).
void WatchSignals(const std::atomic<bool>& ended, AssociationAcceptor& acceptor, NodeLog& log) {
  for (;;) {
    const DaemonSignal signal = WaitForDaemonSignal();
    if (signal == DaemonSignal::kHangUp) {
      std::string error;
      if (log.Reopen(error))
        log.Event("log reopened", "SIGHUP");
      else
        log.Event("log not reopened", error);
      continue;
    }
    if (signal == DaemonSignal::kWake && !ended) continue;
    if (signal != DaemonSignal::kWake)
      log.Event("stopping", signal == DaemonSignal::kTerminate ? "SIGTERM" : "SIGINT");
    NotifyServiceManager("STOPPING=1");
    acceptor.Stop();
    return;
  }
}

// Listens until a stop signal, with the queue a previous run left first in
// line. Returns the exit status.
int Serve(AssociationAcceptor& acceptor, WorkerPool& workers, Spool& spool, NodeLog& log,
          const NodeOptions& options) {
  std::string error;
  if (!acceptor.Open(error)) {
    // The port is taken or not ours.
    log.Event("listen failed", error);
    std::fprintf(stderr, "gsd-node: cannot listen on port %d: %s\n", options.port, error.c_str());
    return 1;
  }
  workers.Start();
  // What a previous run received and did not convert, oldest first.
  for (const std::string& key : spool.QueuedKeys()) workers.Push({key, "", "", -1, 0, ""});

  // Where systemd runs the node with a watchdog, the listening loop says it
  // is alive at a quarter of the interval: a loop that hangs gets the node
  // restarted.
  const std::chrono::microseconds watchdog(ServiceWatchdogMicroseconds());
  if (watchdog.count() > 0) {
    auto last = std::chrono::steady_clock::now() - watchdog;
    acceptor.OnTurn([watchdog, last]() mutable {
      const auto now = std::chrono::steady_clock::now();
      if (now - last < watchdog / 4) return;
      last = now;
      NotifyServiceManager("WATCHDOG=1");
    });
  }
  HoldWakeSignal();
  std::atomic<bool> ended{false};
  std::thread signalWatch([&] { WatchSignals(ended, acceptor, log); });
  const std::string listening = options.aeTitle + " port " + std::to_string(options.port) +
                                (options.bindAddress.empty() ? "" : " on " + options.bindAddress);
  log.Event("listening", listening);
  NotifyServiceManager("READY=1\nSTATUS=listening: " + listening);
  const int status = acceptor.Serve(error);
  if (status != 0) {
    log.Event("listener failed", error);
    NotifyServiceManager("STOPPING=1\nSTATUS=the listening socket failed: " + error);
    std::fprintf(stderr, "gsd-node: the listening socket failed: %s\n", error.c_str());
  }
  // Ends the watch when no signal did.
  ended = true;
  WakeSignalWaiter(signalWatch);
  signalWatch.join();
  workers.Stop();
  log.Event("stopped", "");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  NodeOptions options;
  std::string message;
  int parsed = ParseNodeOptions(argc, argv, options, message);
  if (parsed == 0) {
    std::fputs(message.c_str(), stdout);
    return 0;
  }
  if (parsed != -1) {
    std::fprintf(stderr, "gsd-node: %s\n%s", message.c_str(), kNodeUsage);
    return parsed;
  }
  // DCMTK's own messages would mix with the JSON lines: errors only, on stderr.
  OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
  if (!options.checkHost.empty()) {
    std::string error;
    if (CheckNode(options, error)) return 0;
    std::fprintf(stderr, "gsd-node: %s port %d: %s\n", options.checkHost.c_str(), options.checkPort,
                 error.c_str());
    return 1;
  }

  std::string error;
  const std::string converter = FindConverter(error);
  if (converter.empty()) return Fatal(error);
  Spool spool;
  if (!OpenFolders(options, spool, error)) return Fatal(error);
  NodeLog log;
  if (!log.Open(options.logPath, error)) return Fatal(options.logPath + ": " + error);

  // Every thread inherits the mask: the signals are taken in the watch
  // that stops the node or reopens its log.
  HoldDaemonSignals();
  WorkerPool workers(options, converter, spool, log);
  NodeContext context{&options, &spool, &workers, &log};
  NodeScp::SetContext(&context);
  SetListenAddress(options.bindAddress, options.port);
  DcmSCPConfig config;
  OFCondition configured = ConfigureScp(config, options);
  if (configured.bad()) return Fatal(std::string("configuration: ") + configured.text());
  AssociationAcceptor acceptor(context, config);
  if (!acceptor.LoadTls(error)) return Fatal(error);
  FailedPruning pruning(options.out + "/failed", options.keepFailedDays, log);
  pruning.Start();
  return Serve(acceptor, workers, spool, log, options);
}
