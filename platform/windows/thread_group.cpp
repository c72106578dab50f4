#include "platform/thread_group.h"

#include <process.h>
#include <windows.h>

#include <cstdint>
#include <vector>

struct ThreadGroup::Threads {
  std::vector<HANDLE> running;
  void (*work)(void*);
  void* argument;
  static unsigned __stdcall Run(void* threads) {
    const Threads& self = *static_cast<const Threads*>(threads);
    self.work(self.argument);
    return 0;
  }
};

ThreadGroup::ThreadGroup(void (*work)(void*), void* argument)
    : threads_(new Threads{{}, work, argument}) {}

ThreadGroup::~ThreadGroup() {
  JoinAll();
}

std::size_t ThreadGroup::Start(std::size_t count, std::size_t stackBytes) {
  // The size reserved for the stack, not the first commit: address space,
  // as on POSIX. Through the C runtime, which sets up its own per-thread
  // state.
  for (std::size_t t = 0; t < count; ++t) {
    const std::uintptr_t thread =
        ::_beginthreadex(nullptr, static_cast<unsigned>(stackBytes), Threads::Run, threads_.get(),
                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == 0) break;
    threads_->running.push_back(reinterpret_cast<HANDLE>(thread));
  }
  return threads_->running.size();
}

void ThreadGroup::JoinAll() {
  for (HANDLE thread : threads_->running) {
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
  }
  threads_->running.clear();
}
