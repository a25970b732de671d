// A library that is only a file to read: stamped with HB_TEST_STAMP when it is
// defined, unstamped otherwise.
#include "hbconnector/version_stamp.hpp"

#ifdef HB_TEST_STAMP
HB_FRAMEWORK_VERSION(HB_TEST_STAMP);
#endif

extern "C" __attribute__((visibility("default"))) int hbTestLibraryMarker() { return 1; }
