// The build stamp every connector library carries: the CDK version it was
// built against, which the library reads from the connector's file at start-up
// and refuses to run when it is missing or incompatible.
//
// Stamp a connector library once, in any one of its source files, at
// namespace scope:
//
//   #include "hbconnector/version_stamp.hpp"
//   HB_FRAMEWORK_VERSION("4.1.0");
//
// The macro places a small version-information block in the ELF section
// HB_VERSION_SECTION of the library's file. The block is
//
//   "HBVINFO1\0"  then key/value pairs  key "\0" value "\0"  then "\0"
//
// whose keys are paths without the leading backslash; the stamp writes the
// key "StringFileInfo\040904B0\FrameWorkVersion" with the given text. The
// section survives `strip` (it is allocated) and is kept by the linker even
// when nothing refers to it. Stamping twice in one translation unit does not
// compile; stamping in two units gives two blocks, and the first one found
// answers.
#ifndef HBCONNECTOR_VERSION_STAMP_HPP_
#define HBCONNECTOR_VERSION_STAMP_HPP_

#include "hbconnector/export.hpp"

// Name of the section holding the block.
#define HB_VERSION_SECTION ".hb_verinfo"
// The block's leading magic, including its terminating zero (9 bytes).
#define HB_VERSION_MAGIC "HBVINFO1"
// Key of the framework version value.
#define HB_FRAMEWORK_VERSION_KEY "StringFileInfo\\040904B0\\FrameWorkVersion"

#define HB_FRAMEWORK_VERSION(versionText)       \
  HB_KEEP_IN_SECTION(HB_VERSION_SECTION)        \
  static const char hbFrameworkVersionBlock[] = \
      HB_VERSION_MAGIC "\0" HB_FRAMEWORK_VERSION_KEY "\0" versionText "\0"

#endif  // HBCONNECTOR_VERSION_STAMP_HPP_
