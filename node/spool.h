// The spool folder is the queue. incoming/ holds objects being received
// (temporary names, removed at start: never converted); queue/ the complete
// objects waiting for conversion, named by their SOP Instance UID's key;
// work/ one marker per conversion under way, naming the output it writes;
// done/ one empty marker per converted SOP Instance UID. Every step that
// must survive a crash is an fsynced file and an fsynced folder.
#pragma once

#include <string>
#include <vector>

// The file name that stands for a SOP Instance UID: "u" and the UID when it
// is a plain UID (digits and dots, at most 64), else "h" and a hash of it.
std::string UidKey(const std::string& sopInstanceUid);

// fsync of a folder by path; false with errno set on failure.
bool SyncFolder(const std::string& folder);

// Moves file (a complete, synced file) into folder under name, or under
// name with "-1", "-2"... before its extension when that exists; never
// replaces anything. Across file systems it copies, syncs and removes the
// original. finalPath receives where it went. False with error set.
bool MoveIntoFolder(const std::string& file, const std::string& folder, const std::string& name,
                    std::string& finalPath, std::string& error);

// Writes text as a new file in folder under name (or a suffixed name), synced
// with its folder.
bool WriteNewFile(const std::string& folder, const std::string& name, const std::string& text,
                  std::string& finalPath, std::string& error);

class Spool {
 public:
  // Creates the layout under root (0700 folders) and removes what
  // incoming/ holds from a process that ended mid-reception.
  bool Open(const std::string& root, std::string& error);

  // A new empty file in incoming/, opened for writing; -1 with errno.
  int CreateIncoming(std::string& path);

  enum class Queued { kQueued, kDuplicate, kFailed };
  // Moves a complete incoming object into queue/ unless the UID was
  // converted or is queued already, and syncs the folder.
  Queued Enqueue(const std::string& incomingPath, const std::string& key, std::string& error);

  // Keys in queue/, oldest first.
  std::vector<std::string> QueuedKeys() const;
  std::string QueuedPath(const std::string& key) const;
  void RemoveQueued(const std::string& key);

  bool IsDone(const std::string& key) const;
  bool MarkDone(const std::string& key, std::string& error);

  bool WriteWorkMarker(const std::string& key, const std::string& outputName, std::string& error);
  bool ReadWorkMarker(const std::string& key, std::string& outputName) const;
  void RemoveWorkMarker(const std::string& key);

 private:
  std::string root_, incoming_, queue_, work_, done_;
};
