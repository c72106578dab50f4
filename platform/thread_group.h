// Threads with a stack of a chosen size that all run one piece of work,
// started together and joined together: each thread's stack counts in the
// process's address space, which a confined helper's limit holds tight.
#pragma once

#include <cstddef>
#include <memory>

class ThreadGroup {
 public:
  // Each thread runs work(argument).
  ThreadGroup(void (*work)(void*), void* argument);
  ~ThreadGroup();  // joins them
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  // Starts up to count threads with stacks of stackBytes; stops at the
  // first the system refuses. How many run now.
  std::size_t Start(std::size_t count, std::size_t stackBytes);
  // Waits for every thread started to end.
  void JoinAll();

 private:
  struct Threads;
  std::unique_ptr<Threads> threads_;
};
