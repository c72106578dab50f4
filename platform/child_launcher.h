// Runs a program as a child process: by absolute path with an argument
// vector (no shell, no search path), its standard output and error captured
// through pipes, within a deadline that covers its whole life, cancellable,
// within an address-space limit, and ended with the process that started
// it. Nothing else of the parent's reaches it: every other descriptor is
// closed (but a report pipe, on request) and every signal is at its default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Where a pipe's bytes go as they arrive. The launcher reads straight into
// the room the sink offers, so that tens of MiB are not copied twice.
class ChildOutputSink {
 public:
  virtual ~ChildOutputSink() = default;
  // Room for the next bytes (at least one), or false when the sink takes no
  // more: the child is then ended (ChildEnd::refused).
  virtual bool Room(char*& at, std::size_t& bytes) = 0;
  // The first bytes of that room now hold output.
  virtual void Took(std::size_t bytes) = 0;
};

// Keeps the first limit bytes; what follows is read and dropped, so that a
// talkative child never stops on a full pipe.
class TextSink : public ChildOutputSink {
 public:
  explicit TextSink(std::size_t limit) : limit_(limit) {}
  bool Room(char*& at, std::size_t& bytes) override;
  void Took(std::size_t bytes) override;
  const std::string& text() const { return text_; }
  std::string& text() { return text_; }

 private:
  std::size_t limit_;
  std::string text_;
  char buffer_[4096];
};

// The descriptor of ChildRun::report in the child (3 stays closed).
constexpr int kChildReportFd = 4;

struct ChildRun {
  std::vector<std::string> argv;  // argv[0]: the program, by absolute path
  // "NAME=value" each; none: the parent's environment.
  std::optional<std::vector<std::string>> environment;
  // Standard input, read by the child from its first byte whatever the
  // caller has read of it; null: nothing (the null device).
  std::FILE* input = nullptr;
  ChildOutputSink* output = nullptr;  // standard output; null: discarded
  ChildOutputSink* errors = nullptr;  // standard error; null: into output, as interleaved
  // A third pipe, for lines that are not for a person: the child finds its
  // write end as descriptor kChildReportFd. Null: no such descriptor.
  ChildOutputSink* report = nullptr;
  std::uint64_t addressSpaceLimit = 0;  // bytes, only ever lowered; 0: the parent's
  long long deadlineMilliseconds = 0;   // the child's whole life, from its start
  // Asked at least every 100 ms with the time since the start; false ends
  // the child (ChildEnd::cancelled).
  std::function<bool(long long waitedMilliseconds)> goOn;
  // Started as confined as the system can make a child before its first
  // instruction: on Windows under a restricted token (no privileges, the
  // administrators' group for denying only) at low integrity, so that it
  // can write nothing of its user's but the pipes it was handed. A POSIX
  // child confines itself once started (the decoder helper's sandbox):
  // nothing changes there.
  bool confined = false;
  // Whether the run also waits for the output pipes to close: all the
  // output, even of a process the child left behind holding them, within
  // the deadline. Otherwise it ends once the child has ended and what it
  // wrote is read.
  bool waitForOutputEnd = false;
};

// Why a child never ran its program.
enum class StartFailure {
  kNone,
  kNotAbsolute,  // argv empty or argv[0] not an absolute path
  kInput,        // the input could not be rewound (error)
  kResources,    // no pipe ("pipe") or no process ("clone"): step, error
  kInChild,      // a step in the child (step; null: the program itself), error
};

struct ChildEnd {
  StartFailure startFailure = StartFailure::kNone;
  const char* step = nullptr;  // the step that failed, for kResources and kInChild
  int error = 0;               // the system's error number of a start or a wait
  int exitCode = -1;           // -1 when it did not exit normally
  int signal = 0;              // what ended it otherwise, 0 if nothing
  bool cpuLimit = false;       // ended for its CPU time
  bool refusedCall = false;    // ended by its own system-call filter
  bool timedOut = false;
  bool cancelled = false;
  bool refused = false;  // a sink took no more
  bool lost = false;     // it could not be waited for (error)
};

// Runs the child to its end (or the deadline, a cancel, a full sink).
ChildEnd RunChildProgram(const ChildRun& run);

// The name of what ended a child ("Killed"), for messages.
std::string ChildSignalName(int signal);
