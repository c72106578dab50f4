// A gsd-node (or helper) process for a test: started without a shell, its
// output in a file, killed at the latest when the object ends or the test
// program dies, so that no listener outlives a failing test.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProgram {
 public:
  ChildProgram(const std::vector<std::string>& argv, const std::string& outputFile);
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;
  // Sends signal and waits at most seconds; the exit status, or -1 when it
  // was killed by a signal or did not end (then it is killed).
  int Stop(int signal, int seconds);
  bool Running();
  pid_t Pid() const { return pid_; }
  // Threads of the running program (entries of /proc/PID/task); -1 when gone.
  int Threads() const;

 private:
  pid_t pid_ = -1;
};

// A port on 127.0.0.1 that nothing listens on just now.
int FreePort();
// Whether something accepts TCP connections on host:port (an IPv4
// address), tried for at most seconds.
bool WaitForListener(int port, int seconds, const char* host = "127.0.0.1");
