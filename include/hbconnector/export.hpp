// Symbol export for the HbConnector shared library, and every compiler
// attribute the library and its headers use, each behind one macro.
//
// The library is built with hidden visibility; only declarations marked
// HB_EXPORT form its binary interface. Connector code never needs to define
// HBCONNECTOR_BUILD.
#ifndef HBCONNECTOR_EXPORT_HPP_
#define HBCONNECTOR_EXPORT_HPP_

#if defined(_WIN32)
#if defined(HBCONNECTOR_BUILD)
#define HB_EXPORT __declspec(dllexport)
#else
#define HB_EXPORT __declspec(dllimport)
#endif
#else
#define HB_EXPORT __attribute__((visibility("default")))
#endif

#if defined(__GNUC__) || defined(__clang__)
// printf-style checking of a function's format (argument formatIndex, 1-based)
// and its variable arguments (from firstArg).
#define HB_PRINTF_FORMAT(formatIndex, firstArg) \
  __attribute__((format(printf, formatIndex, firstArg)))
// Inlined even where the optimiser would not: for the few hot helpers whose
// call cost shows in the benchmarks.
#define HB_ALWAYS_INLINE __attribute__((always_inline)) inline
// Never inlined: keeps a large frame off a recursive caller's stack.
#define HB_NOINLINE __attribute__((noinline))
// Kept by compiler and linker although nothing refers to it, placed in the
// named section, byte-aligned.
#define HB_KEEP_IN_SECTION(name) [[gnu::used, gnu::retain, gnu::section(name), gnu::aligned(1)]]
#else
#define HB_PRINTF_FORMAT(formatIndex, firstArg)
#define HB_ALWAYS_INLINE inline
#define HB_NOINLINE
#define HB_KEEP_IN_SECTION(name)
#endif

#endif  // HBCONNECTOR_EXPORT_HPP_
