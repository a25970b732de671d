#include "runtime/version_info.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "hbconnector/version_stamp.hpp"

// This test program is itself a stamped ELF file.
HB_FRAMEWORK_VERSION("4.1.0");

namespace {

using hbconnector::detail::getFileVersionInfo;
using hbconnector::detail::getFileVersionInfoSize;
using hbconnector::detail::kFrameworkVersionQuery;
using hbconnector::detail::verQueryValue;

using Bytes = std::vector<unsigned char>;

std::string block(const std::string& version) {
  return std::string(HB_VERSION_MAGIC "\0" HB_FRAMEWORK_VERSION_KEY "\0", 9 + 41) + version +
         std::string(2, '\0');
}

struct ElfSpec {
  bool is64 = true;
  bool bigEndian = false;
  std::string payload = block("4.1.0");
  std::string sectionName = ".hb_verinfo";
  std::uint32_t payloadType = 1;  // PROGBITS
};

// A minimal ELF file: header, the payload, a section name table, then the
// section headers (null, names, payload).
Bytes elf(const ElfSpec& spec) {
  const std::size_t word = spec.is64 ? 8 : 4;
  const std::size_t entry = spec.is64 ? 64 : 40;
  const std::string names = std::string(1, '\0') + ".shstrtab" + std::string(1, '\0') +
                            spec.sectionName + std::string(1, '\0');
  Bytes out(spec.is64 ? 64 : 52, 0);
  const std::size_t payloadAt = out.size();
  out.insert(out.end(), spec.payload.begin(), spec.payload.end());
  const std::size_t namesAt = out.size();
  out.insert(out.end(), names.begin(), names.end());
  const std::size_t shoff = out.size();
  out.resize(shoff + 3 * entry, 0);
  auto put = [&](std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
      out[at + (spec.bigEndian ? width - 1 - i : i)] = static_cast<unsigned char>(value >> (8 * i));
  };
  auto section = [&](std::size_t at, std::uint32_t name, std::uint32_t type, std::uint64_t offset,
                     std::uint64_t size) {
    put(at, name, 4);
    put(at + 4, type, 4);
    put(at + (spec.is64 ? 24 : 16), offset, word);
    put(at + (spec.is64 ? 32 : 20), size, word);
  };
  std::memcpy(out.data(), "\177ELF", 4);
  out[4] = spec.is64 ? 2 : 1;
  out[5] = spec.bigEndian ? 2 : 1;
  out[6] = 1;
  put(spec.is64 ? 0x28 : 0x20, shoff, word);
  put(spec.is64 ? 0x3A : 0x2E, entry, 2);
  put(spec.is64 ? 0x3C : 0x30, 3, 2);
  put(spec.is64 ? 0x3E : 0x32, 1, 2);
  section(shoff + entry, 1, 3, namesAt, names.size());
  section(shoff + 2 * entry, 11, spec.payloadType, payloadAt, spec.payload.size());
  return out;
}

class VersionInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dirTemplate[] = "/tmp/hb_version_info_XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    dir_ = dirTemplate;
  }
  void TearDown() override {
    for (const auto& f : files_) std::remove(f.c_str());
    rmdir(dir_.c_str());
  }

  // Writes bytes to path, or to a new file when path is empty.
  std::string write(const Bytes& bytes, std::string path = "") {
    if (path.empty()) {
      path = dir_ + "/f" + std::to_string(files_.size());
      files_.push_back(path);
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  // The framework version read through the three steps, or "<none>".
  static std::string frameworkVersion(const std::string& path) {
    const std::uint32_t size = getFileVersionInfoSize(path.c_str());
    if (size == 0) return "<none>";
    std::vector<char> buffer(size);
    if (!getFileVersionInfo(path.c_str(), size, buffer.data())) return "<unreadable>";
    const char* value = nullptr;
    std::uint32_t length = 0;
    if (!verQueryValue(buffer.data(), size, kFrameworkVersionQuery, &value, &length)) {
      return "<no value>";
    }
    return std::string(value, length);
  }

  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(VersionInfoTest, ReadsTheToolchainsStampAndEveryClassAndByteOrder) {
  EXPECT_EQ(frameworkVersion("/proc/self/exe"), "4.1.0");
  for (bool is64 : {true, false}) {
    for (bool big : {false, true}) {
      ElfSpec spec;
      spec.is64 = is64;
      spec.bigEndian = big;
      const std::string version = std::string(is64 ? "64." : "32.") + (big ? "2.1" : "1.1");
      spec.payload = block(version);
      const std::string path = write(elf(spec));
      EXPECT_EQ(getFileVersionInfoSize(path.c_str()), spec.payload.size());
      EXPECT_EQ(frameworkVersion(path), version);
    }
  }
}

TEST_F(VersionInfoTest, FilesWithoutAUsableBlockHaveSizeZero) {
  const std::string text = "just some text that is not an executable at all\n";
  std::vector<std::string> paths = {"", dir_ + "/missing.so", dir_, write({}),
                                    write(Bytes(text.begin(), text.end()))};
  auto variant = [&](auto change) {
    ElfSpec spec;
    change(spec);
    paths.push_back(write(elf(spec)));
  };
  variant([](ElfSpec& s) { s.sectionName = ".data"; });
  variant([](ElfSpec& s) { s.sectionName = ".hb_verinfo2"; });
  variant([](ElfSpec& s) { s.payloadType = 8; });  // NOBITS
  variant([](ElfSpec& s) { s.payload.clear(); });

  // Single fields patched (little-endian ELF64): class, byte order, header
  // fields, and the payload and name-table sections pointing outside the file.
  const Bytes good = elf(ElfSpec{});
  const std::size_t shoff = good.size() - 3 * 64;
  const struct {
    std::size_t at;
    std::uint64_t value;
    std::size_t width;
  } patches[] = {
      {4, 3, 1},                           // class
      {5, 0, 1},                           // byte order
      {0x28, good.size() - 10, 8},         // section table past the end
      {0x28, ~0ull - 8, 8},                // offset overflow
      {0x3A, 16, 2},                       // entry size
      {0x3E, 3, 2},                        // name table index
      {0x3C, 0xFFF0, 2},                   // section count
      {shoff + 128 + 24, good.size(), 8},  // payload offset
      {shoff + 128 + 32, ~0ull, 8},        // payload size
      {shoff + 128 + 0, 0x7FFFFFFF, 4},    // payload name offset
      {shoff + 64 + 32, good.size(), 8},   // name table size
  };
  for (const auto& p : patches) {
    Bytes b = good;
    for (std::size_t i = 0; i < p.width; ++i)
      b[p.at + i] = static_cast<unsigned char>(p.value >> (8 * i));
    paths.push_back(write(b));
  }
  EXPECT_EQ(getFileVersionInfoSize(nullptr), 0u);
  for (std::size_t i = 0; i < paths.size(); ++i)
    EXPECT_EQ(getFileVersionInfoSize(paths[i].c_str()), 0u) << "case " << i;
}

TEST_F(VersionInfoTest, TruncatedOrCorruptedFilesNeverReadOutsideTheFile) {
  for (bool is64 : {true, false}) {
    ElfSpec spec;
    spec.is64 = is64;
    const Bytes good = elf(spec);
    const std::string path = write(good);
    ASSERT_EQ(frameworkVersion(path), "4.1.0");
    for (std::size_t n = 0; n < good.size(); ++n) {
      write(Bytes(good.begin(), good.begin() + static_cast<long>(n)), path);
      EXPECT_EQ(getFileVersionInfoSize(path.c_str()), 0u) << "length " << n;
    }
  }
  // Every byte replaced by a few values: any size reported lies in the file.
  const Bytes good = elf(ElfSpec{});
  const std::string path = write(good);
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (unsigned char v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
      Bytes b = good;
      b[i] = v;
      write(b, path);
      const std::uint32_t size = getFileVersionInfoSize(path.c_str());
      ASSERT_LE(size, b.size()) << "byte " << i;
      if (size > 0) frameworkVersion(path);
    }
  }
}

TEST_F(VersionInfoTest, ReadIntoASmallerBufferCopiesAPrefix) {
  const std::string path = write(elf(ElfSpec{}));
  const std::uint32_t size = getFileVersionInfoSize(path.c_str());
  ASSERT_GT(size, 20u);
  std::vector<char> small(20, 'x');
  ASSERT_TRUE(getFileVersionInfo(path.c_str(), 20, small.data()));
  EXPECT_EQ(std::memcmp(small.data(), HB_VERSION_MAGIC, 9), 0);
  const char* value = nullptr;
  std::uint32_t length = 0;
  EXPECT_FALSE(verQueryValue(small.data(), 20, kFrameworkVersionQuery, &value, &length));

  std::vector<char> large(size + 16, 'x');
  ASSERT_TRUE(getFileVersionInfo(path.c_str(), size + 16, large.data()));
  EXPECT_EQ(large[size + 15], '\0');
  EXPECT_FALSE(getFileVersionInfo((dir_ + "/missing").c_str(), 16, large.data()));
}

TEST(VerQueryValueTest, FindsKeysAcrossPaddedBlocksAndRefusesMalformedOnes) {
  std::string b(HB_VERSION_MAGIC "\0Other\0x\0\0", 17);
  b += std::string(7, '\0');  // alignment padding between two stamped objects
  b += block("5.0.0");
  const auto size = static_cast<std::uint32_t>(b.size());
  const char* value = nullptr;
  std::uint32_t length = 0;
  ASSERT_TRUE(verQueryValue(b.data(), size, kFrameworkVersionQuery, &value, &length));
  EXPECT_EQ(std::string(value, length), "5.0.0");
  ASSERT_TRUE(verQueryValue(b.data(), size, "Other", &value, &length));
  EXPECT_EQ(std::string(value), "x");
  EXPECT_FALSE(verQueryValue(b.data(), size, "\\StringFileInfo\\040904B0\\frameworkversion", &value,
                             &length));

  // Every cut ending inside the value or before it finds nothing; exact heap
  // copies so any read past them is caught.
  const std::string good = block("4.1.0");
  for (std::size_t n = 0; n < good.size() - 2; ++n) {
    std::vector<char> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(verQueryValue(cut.data(), static_cast<std::uint32_t>(n), kFrameworkVersionQuery,
                               &value, &length))
        << n;
  }
  std::string wrongMagic = good;
  wrongMagic[0] = 'X';
  const auto goodSize = static_cast<std::uint32_t>(good.size());
  EXPECT_FALSE(verQueryValue(wrongMagic.data(), goodSize, kFrameworkVersionQuery, &value, &length));
  EXPECT_FALSE(verQueryValue(nullptr, 10, kFrameworkVersionQuery, &value, &length));
  EXPECT_FALSE(verQueryValue(good.data(), goodSize, nullptr, &value, &length));
}

}  // namespace
