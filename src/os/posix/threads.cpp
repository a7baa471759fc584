#include <pthread.h>

#include <new>
#include <system_error>
#include <thread>

#include "os/os.h"

namespace os {

namespace {

struct Thread {
  pthread_t id;
  ThreadWork work;
  void* argument;
};

void* run_thread(void* parameter) {
  auto* thread = static_cast<Thread*>(parameter);
  thread->work(thread->argument);
  return nullptr;
}

struct Monitor {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
};

Monitor& monitor_of(Handle monitor) { return *static_cast<Monitor*>(monitor); }

}  // namespace

Handle start_joinable_thread(ThreadWork work, void* argument) {
  auto* thread = new (std::nothrow) Thread{{}, work, argument};
  if (thread == nullptr) return nullptr;
  if (pthread_create(&thread->id, nullptr, run_thread, thread) != 0) {
    delete thread;
    return nullptr;
  }
  return thread;
}

bool start_thread(ThreadWork work, void* argument) {
  try {
    std::thread(work, argument).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void join_thread(Handle thread) {
  pthread_join(static_cast<Thread*>(thread)->id, nullptr);
  delete static_cast<Thread*>(thread);
}

Handle create_monitor() { return new (std::nothrow) Monitor; }

void destroy_monitor(Handle monitor) {
  pthread_cond_destroy(&monitor_of(monitor).condition);
  pthread_mutex_destroy(&monitor_of(monitor).lock);
  delete static_cast<Monitor*>(monitor);
}

void enter_monitor(Handle monitor) { pthread_mutex_lock(&monitor_of(monitor).lock); }

void leave_monitor(Handle monitor) { pthread_mutex_unlock(&monitor_of(monitor).lock); }

void wait_in_monitor(Handle monitor) { pthread_cond_wait(&monitor_of(monitor).condition, &monitor_of(monitor).lock); }

void wake_monitor(Handle monitor) { pthread_cond_broadcast(&monitor_of(monitor).condition); }

}  // namespace os
