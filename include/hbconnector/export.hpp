// Symbol export for the HbConnector shared library.
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

#endif  // HBCONNECTOR_EXPORT_HPP_
