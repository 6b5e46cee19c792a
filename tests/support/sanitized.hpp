// MOK_TEST_SANITIZED is defined in builds with the address or thread
// sanitizer. Tests that run the robot cell in real time skip there: a
// sanitized build runs the camera and the robot several times slower than
// real time, so the camera skips profiles and the poses outrun the scans. The
// logic those runs exercise runs under the sanitizers in its unit tests.
#pragma once

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MOK_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MOK_TEST_SANITIZED 1
#endif
