#pragma once
#include <pthread.h>

#include <thread>

// Names a started thread for top -H, perf and debuggers (at most 15 chars).
// Called by the thread's owner right after starting it.
inline void NameThread(std::thread& thread, const char* name) {
    pthread_setname_np(thread.native_handle(), name);
}
