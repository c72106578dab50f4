// The spool folder is the queue. incoming/ holds objects being received
// (temporary names, removed at start: never converted); queue/ the complete
// objects waiting for conversion, named by their SOP Instance UID's key;
// work/ one marker per conversion under way, naming the output it writes;
// done/ one marker per converted object, holding the SHA-256 of its data
// set; finish/ one marker per converted object whose log line, --on-gsd run
// and clean-up are not all done yet, naming the output and the last of
// those steps finished, so that a restart finishes the rest once. Every step that must survive a
// crash is an fsynced file and an fsynced folder.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "output/output_file.h"

// The file name that stands for a SOP Instance UID: "u" and the UID when it
// is a plain UID (digits and dots, at most 64), else "h" and a hash of it.
std::string UidKey(const std::string& sopInstanceUid);

// The key of an object whose UID was converted or queued before with other
// content: the UID's key, "-" and the content's hash, so that a copy of that
// object finds it again.
std::string ContentKey(const std::string& uidKey, const std::string& contentHash);
bool IsContentKey(const std::string& key);

// The SHA-256 of a spooled object's data set, as hex: what follows the file
// meta information (its group length tells where that ends), or the whole
// file when it has none. Empty when the file cannot be read.
std::string ObjectContentHash(const std::string& path);

// fsync of a folder by path; false with errno set on failure.
bool SyncFolder(const std::string& folder);

// Moves file (complete; synced here) into folder under name, or under
// name with "-1", "-2"... before its extension when that exists; never
// replaces anything. Across file systems it copies, syncs and removes the
// original. Either way the file is 0640 (kNodeFilePermissions) whatever the
// umask. finalPath receives where it went. False with error set.
bool MoveIntoFolder(const std::string& file, const std::string& folder, const std::string& name,
                    std::string& finalPath, std::string& error);

// Writes text as a new file in folder under name (or a suffixed name), 0640
// whatever the umask, synced with its folder.
bool WriteNewFile(const std::string& folder, const std::string& name, const std::string& text,
                  std::string& finalPath, std::string& error);

class Spool {
 public:
  // runStep carries out each sync and rename of an enqueue and of a done
  // marker (tests fail or record them); none: each step runs as it is.
  explicit Spool(OutputStepRunner runStep = {}) : runStep_(std::move(runStep)) {}

  // Creates the layout under root (0700 folders) and removes what
  // incoming/ holds from a process that ended mid-reception. Like sshd's
  // StrictModes, refuses the root or a folder of the layout that belongs to
  // another user or that its group or others may write: whoever can write
  // the queue chooses what is converted and where the output goes.
  bool Open(const std::string& root, std::string& error);

  // A new empty file in incoming/, opened for writing; -1 with errno.
  int CreateIncoming(std::string& path);

  enum class Queued { kQueued, kDuplicate, kFailed };
  // Syncs a complete incoming object and moves it into queue/ under key (its
  // UID's), and syncs the folder. An object whose UID was converted or is
  // queued already is a duplicate when its data set is the same, and is
  // queued under its ContentKey otherwise (key tells which). On kFailed,
  // with error set, nothing of it is left.
  // contentHash: the object's ObjectContentHash when known already.
  Queued Enqueue(const std::string& incomingPath, std::string& key, std::string& error,
                 const std::string& contentHash = "");
  // A queued object whose UID was converted with other content (a crash or a
  // race left both): moved to its ContentKey (key tells), or a duplicate.
  Queued Requeue(std::string& key, std::string& error);

  // Keys in queue/, oldest first.
  std::vector<std::string> QueuedKeys() const;
  std::string QueuedPath(const std::string& key) const;
  void RemoveQueued(const std::string& key);

  bool IsDone(const std::string& key) const;
  // The content hash the done marker of key holds; false when there is none.
  bool DoneHash(const std::string& key, std::string& hash) const;
  // Writes the marker (synced, renamed into done/, the folder synced); on
  // failure none is left.
  bool MarkDone(const std::string& key, const std::string& contentHash, std::string& error);

  // The steps after the done marker, in order; the finish marker names the
  // last one finished.
  enum class FinishStage { kDone, kLogged, kHookRun };
  // Writes (or replaces, in one rename) the finish marker of key, synced.
  bool WriteFinishMarker(const std::string& key, const std::string& outputName, FinishStage stage,
                         std::string& error);
  bool ReadFinishMarker(const std::string& key, std::string& outputName, FinishStage& stage) const;
  void RemoveFinishMarker(const std::string& key);
  // Keys in finish/: conversions a crash interrupted after they were marked.
  std::vector<std::string> FinishingKeys() const;

  bool WriteWorkMarker(const std::string& key, const std::string& outputName, std::string& error);
  bool ReadWorkMarker(const std::string& key, std::string& outputName) const;
  void RemoveWorkMarker(const std::string& key);

 private:
  int RunStep(OutputStep step, const std::function<int()>& run) const;
  // Moves a synced file into queue/ under key, or where its content belongs.
  // A failure removes the file when drop is set, else leaves it.
  Queued Place(const std::string& file, std::string& key, bool drop, std::string& error,
               std::string hash = "");

  // Writes text as folder/name through a synced temporary renamed over it,
  // the folder synced, each step through runStep_; on failure none is left.
  bool ReplaceMarker(const std::string& folder, const std::string& name, const std::string& text,
                     std::string& error);

  OutputStepRunner runStep_;
  std::string root_, incoming_, queue_, work_, done_, finish_;
};
