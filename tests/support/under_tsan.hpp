// MOK_TEST_UNDER_TSAN is defined in ThreadSanitizer builds, whose runtime owns
// the global allocation functions: tests that replace operator new skip there.
#pragma once

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MOK_TEST_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define MOK_TEST_UNDER_TSAN 1
#endif
