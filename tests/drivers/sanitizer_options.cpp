// SPDX-License-Identifier: MIT
// Sanitizer settings for the emulated-bus tests, which run with umockdev's
// preload library in front of every other.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VKM470_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define VKM470_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VKM470_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define VKM470_TSAN 1
#endif

#if defined(VKM470_ASAN)
// The preload library comes before the sanitizer runtime, which refuses to
// start that way unless told the order is intended.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }
#endif

#if defined(VKM470_TSAN)
// umockdev's worker thread takes requests through GLib, whose locks
// ThreadSanitizer cannot see: its own data then looks raced.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libumockdev.so\n"
         "race:libglib-2.0.so\n"
         "race:libgobject-2.0.so\n"
         "race:libffi.so\n";
}
#endif
