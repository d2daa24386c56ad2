#pragma once
// ThreadSanitizer sees only what instrumented code does, and Qt is not built
// with it: the ordering a Qt::BlockingQueuedConnection gives (the worker's
// writes before the call, the call's writes before the worker goes on) is
// invisible to it. These marks state that ordering on an address of ours;
// in every other build they are nothing.
#if defined(__SANITIZE_THREAD__)
#define CORVANTA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORVANTA_TSAN 1
#endif
#endif

#ifdef CORVANTA_TSAN
#include <sanitizer/tsan_interface.h>
#define CORVANTA_HANDOFF_RELEASE(address) __tsan_release(address)
#define CORVANTA_HANDOFF_ACQUIRE(address) __tsan_acquire(address)
#else
#define CORVANTA_HANDOFF_RELEASE(address) ((void)0)
#define CORVANTA_HANDOFF_ACQUIRE(address) ((void)0)
#endif
