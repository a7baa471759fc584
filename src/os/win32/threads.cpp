#include <new>

#include "os/os.h"
#include "os/win32/windows_api.h"

namespace os {

namespace {

struct ThreadStart {
  ThreadWork work;
  void* argument;
};

DWORD WINAPI run_thread(void* parameter) {
  const ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);
  start.work(start.argument);
  return 0;
}

// Slim locks and condition variables stay in user mode while nobody has to wait, which under
// Wine also spares a round trip to the server for every hand-over.
struct Monitor {
  SRWLOCK lock;
  CONDITION_VARIABLE condition;
};

Monitor& monitor_of(Handle monitor) { return *static_cast<Monitor*>(monitor); }

}  // namespace

Handle start_joinable_thread(ThreadWork work, void* argument) {
  auto* start = new (std::nothrow) ThreadStart{work, argument};
  if (start == nullptr) return nullptr;
  HANDLE thread = CreateThread(nullptr, 0, run_thread, start, 0, nullptr);
  if (thread == nullptr) delete start;
  return thread;
}

bool start_thread(ThreadWork work, void* argument) {
  HANDLE thread = start_joinable_thread(work, argument);
  if (thread == nullptr) return false;
  CloseHandle(thread);
  return true;
}

void join_thread(Handle thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

Handle create_monitor() {
  auto* monitor = new (std::nothrow) Monitor;
  if (monitor == nullptr) return nullptr;
  InitializeSRWLock(&monitor->lock);
  InitializeConditionVariable(&monitor->condition);
  return monitor;
}

void destroy_monitor(Handle monitor) { delete static_cast<Monitor*>(monitor); }

void enter_monitor(Handle monitor) { AcquireSRWLockExclusive(&monitor_of(monitor).lock); }

void leave_monitor(Handle monitor) { ReleaseSRWLockExclusive(&monitor_of(monitor).lock); }

void wait_in_monitor(Handle monitor) {
  SleepConditionVariableSRW(&monitor_of(monitor).condition, &monitor_of(monitor).lock, INFINITE, 0);
}

void wake_monitor(Handle monitor) { WakeAllConditionVariable(&monitor_of(monitor).condition); }

}  // namespace os
