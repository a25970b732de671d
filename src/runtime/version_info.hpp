// Reading the version-information block of a connector library's file.
//
// Three steps, as a Windows program reads a DLL's version resource: the size
// of the file's block, a copy of the block, and a query for one value in the
// copy. On Linux the block is the ELF section stamped by HB_FRAMEWORK_VERSION
// (hbconnector/version_stamp.hpp).
//
// The reader trusts nothing in the file: every offset and size is checked
// against the file before it is used, and a missing, unreadable, non-ELF,
// truncated or malformed file, or one without the section, has block size 0.
// ELF64 and ELF32 files of either byte order are understood. A file name
// without a '/' that cannot be opened as given is looked up among the
// libraries loaded into the process.
//
// Thread-safe: no state is kept between calls.
#ifndef HBCONNECTOR_RUNTIME_VERSION_INFO_HPP_
#define HBCONNECTOR_RUNTIME_VERSION_INFO_HPP_

#include <cstdint>

namespace hbconnector::detail {

// Value path of the connector library's build version.
inline constexpr char kFrameworkVersionQuery[] = "\\StringFileInfo\\040904B0\\FrameWorkVersion";

// Blocks larger than this are refused as malformed.
inline constexpr std::uint32_t kMaxVersionInfoSize = 1u << 20;

// Size in bytes of the file's version-information block, 0 when there is none.
std::uint32_t getFileVersionInfoSize(const char* fileName);

// Copies the block into buffer, at most size bytes; bytes of buffer beyond the
// block are zeroed. False when the file no longer has a block or cannot be
// read.
bool getFileVersionInfo(const char* fileName, std::uint32_t size, void* buffer);

// Finds the value at subBlock (a path such as kFrameworkVersionQuery; the
// leading backslash is optional; names compare exactly) in the first size
// bytes of block. On success *value points at the zero-terminated value inside
// block and *length is its length without the zero. False when the path is not
// there or the block is malformed; the query never reads outside the block.
bool verQueryValue(const void* block, std::uint32_t size, const char* subBlock, const char** value,
                   std::uint32_t* length);

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_RUNTIME_VERSION_INFO_HPP_
