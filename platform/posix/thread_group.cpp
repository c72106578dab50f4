#include "platform/thread_group.h"

#include <pthread.h>

#include <vector>

struct ThreadGroup::Threads {
  std::vector<pthread_t> running;
  void (*work)(void*);
  void* argument;
  static void* Run(void* threads) {
    const Threads& self = *static_cast<const Threads*>(threads);
    self.work(self.argument);
    return nullptr;
  }
};

ThreadGroup::ThreadGroup(void (*work)(void*), void* argument)
    : threads_(new Threads{{}, work, argument}) {}

ThreadGroup::~ThreadGroup() {
  JoinAll();
}

std::size_t ThreadGroup::Start(std::size_t count, std::size_t stackBytes) {
  pthread_attr_t attributes;
  const bool attributesSet = ::pthread_attr_init(&attributes) == 0 &&
                             ::pthread_attr_setstacksize(&attributes, stackBytes) == 0;
  for (std::size_t t = 0; attributesSet && t < count; ++t) {
    pthread_t thread;
    if (::pthread_create(&thread, &attributes, Threads::Run, threads_.get()) != 0) break;
    threads_->running.push_back(thread);
  }
  if (attributesSet) ::pthread_attr_destroy(&attributes);
  return threads_->running.size();
}

void ThreadGroup::JoinAll() {
  for (pthread_t thread : threads_->running) ::pthread_join(thread, nullptr);
  threads_->running.clear();
}
