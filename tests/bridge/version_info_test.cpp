#include "bridge/version_info.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hbconnector/version_stamp.hpp"

// This test program is itself a stamped ELF file.
HB_FRAMEWORK_VERSION("4.1.0");

namespace {

using hbconnector::detail::FRAMEWORK_VERSION_QUERY;
using hbconnector::detail::getFileVersionInfo;
using hbconnector::detail::getFileVersionInfoSize;
using hbconnector::detail::verQueryValue;

using Bytes = std::vector<unsigned char>;

std::string block(const std::string& version) {
  return std::string(HB_VERSION_MAGIC "\0" HB_FRAMEWORK_VERSION_KEY "\0", 9 + 41) + version +
         std::string(1, '\0') + std::string(1, '\0');
}

// Builds a minimal ELF file: header, the payload as section ".hb_verinfo", a
// section name table, then the section headers (null, names, payload).
struct ElfSpec {
  bool is64 = true;
  bool bigEndian = false;
  std::string payload = block("4.1.0");
  std::string sectionName = ".hb_verinfo";
  std::uint32_t payloadType = 1;  // PROGBITS
};

class ElfBuilder {
 public:
  explicit ElfBuilder(const ElfSpec& spec) : spec_(spec) {}

  Bytes build() {
    const std::size_t headerSize = spec_.is64 ? 64 : 52;
    const std::size_t shentsize = spec_.is64 ? 64 : 40;
    std::string names = std::string(1, '\0') + ".shstrtab" + std::string(1, '\0') +
                        spec_.sectionName + std::string(1, '\0');
    out_.assign(headerSize, 0);
    const std::size_t payloadOffset = out_.size();
    out_.insert(out_.end(), spec_.payload.begin(), spec_.payload.end());
    const std::size_t namesOffset = out_.size();
    out_.insert(out_.end(), names.begin(), names.end());
    const std::size_t shoff = out_.size();

    std::memcpy(out_.data(),
                "\x7f"
                "ELF",
                4);
    out_[4] = spec_.is64 ? 2 : 1;
    out_[5] = spec_.bigEndian ? 2 : 1;
    out_[6] = 1;
    const std::size_t word = spec_.is64 ? 8 : 4;
    put(spec_.is64 ? 0x28 : 0x20, shoff, word);
    put(spec_.is64 ? 0x3A : 0x2E, shentsize, 2);
    put(spec_.is64 ? 0x3C : 0x30, 3, 2);
    put(spec_.is64 ? 0x3E : 0x32, 1, 2);

    out_.resize(shoff + 3 * shentsize, 0);
    section(shoff + shentsize, 1, 3, namesOffset, names.size());
    section(shoff + 2 * shentsize, 11, spec_.payloadType, payloadOffset, spec_.payload.size());
    return out_;
  }

 private:
  void put(std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
      const std::size_t index = spec_.bigEndian ? width - 1 - i : i;
      out_[at + index] = static_cast<unsigned char>(value >> (8 * i));
    }
  }
  void section(std::size_t at, std::uint32_t name, std::uint32_t type, std::uint64_t offset,
               std::uint64_t size) {
    const std::size_t word = spec_.is64 ? 8 : 4;
    put(at, name, 4);
    put(at + 4, type, 4);
    put(at + (spec_.is64 ? 24 : 16), offset, word);
    put(at + (spec_.is64 ? 32 : 20), size, word);
  }

  ElfSpec spec_;
  Bytes out_;
};

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

  std::string write(const Bytes& bytes) {
    std::string path = dir_ + "/f" + std::to_string(files_.size());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    files_.push_back(path);
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
    if (!verQueryValue(buffer.data(), size, FRAMEWORK_VERSION_QUERY, &value, &length)) {
      return "<no value>";
    }
    return std::string(value, length);
  }

  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(VersionInfoTest, ReadsAStampedProgramBuiltByTheToolchain) {
  EXPECT_EQ(frameworkVersion("/proc/self/exe"), "4.1.0");
}

TEST_F(VersionInfoTest, ReadsEveryClassAndByteOrder) {
  for (bool is64 : {true, false}) {
    for (bool big : {false, true}) {
      ElfSpec spec;
      spec.is64 = is64;
      spec.bigEndian = big;
      spec.payload = block(is64 ? (big ? "64.2.1" : "64.1.1") : (big ? "32.2.1" : "32.1.1"));
      const std::string path = write(ElfBuilder(spec).build());
      EXPECT_EQ(getFileVersionInfoSize(path.c_str()), spec.payload.size());
      EXPECT_EQ(frameworkVersion(path),
                is64 ? (big ? "64.2.1" : "64.1.1") : (big ? "32.2.1" : "32.1.1"));
    }
  }
}

TEST_F(VersionInfoTest, FilesWithoutAUsableBlockHaveSizeZero) {
  EXPECT_EQ(getFileVersionInfoSize(nullptr), 0u);
  EXPECT_EQ(getFileVersionInfoSize(""), 0u);
  EXPECT_EQ(getFileVersionInfoSize((dir_ + "/missing.so").c_str()), 0u);
  EXPECT_EQ(getFileVersionInfoSize(dir_.c_str()), 0u);  // a directory
  EXPECT_EQ(getFileVersionInfoSize(write({}).c_str()), 0u);
  const std::string text = "just some text that is not an executable at all\n";
  EXPECT_EQ(getFileVersionInfoSize(write(Bytes(text.begin(), text.end())).c_str()), 0u);

  ElfSpec noSection;
  noSection.sectionName = ".data";
  EXPECT_EQ(getFileVersionInfoSize(write(ElfBuilder(noSection).build()).c_str()), 0u);
  ElfSpec longerName;
  longerName.sectionName = ".hb_verinfo2";
  EXPECT_EQ(getFileVersionInfoSize(write(ElfBuilder(longerName).build()).c_str()), 0u);
  ElfSpec nobits;
  nobits.payloadType = 8;
  EXPECT_EQ(getFileVersionInfoSize(write(ElfBuilder(nobits).build()).c_str()), 0u);
  ElfSpec empty;
  empty.payload.clear();
  EXPECT_EQ(getFileVersionInfoSize(write(ElfBuilder(empty).build()).c_str()), 0u);

  Bytes badClass = ElfBuilder(ElfSpec{}).build();
  badClass[4] = 3;
  EXPECT_EQ(getFileVersionInfoSize(write(badClass).c_str()), 0u);
  Bytes badOrder = ElfBuilder(ElfSpec{}).build();
  badOrder[5] = 0;
  EXPECT_EQ(getFileVersionInfoSize(write(badOrder).c_str()), 0u);
}

TEST_F(VersionInfoTest, OffsetsAndIndexesOutsideTheFileAreRefused) {
  const Bytes good = ElfBuilder(ElfSpec{}).build();
  const std::size_t shoff = good.size() - 3 * 64;
  auto patched = [&](std::size_t at, std::uint64_t value, std::size_t width) {
    Bytes b = good;
    for (std::size_t i = 0; i < width; ++i)
      b[at + i] = static_cast<unsigned char>(value >> (8 * i));
    return write(b);
  };
  EXPECT_EQ(getFileVersionInfoSize(patched(0x28, good.size() - 10, 8).c_str()), 0u);  // table
  EXPECT_EQ(getFileVersionInfoSize(patched(0x28, ~0ull - 8, 8).c_str()), 0u);         // overflow
  EXPECT_EQ(getFileVersionInfoSize(patched(0x3A, 16, 2).c_str()), 0u);                // entry size
  EXPECT_EQ(getFileVersionInfoSize(patched(0x3E, 3, 2).c_str()), 0u);       // name table index
  EXPECT_EQ(getFileVersionInfoSize(patched(0x3C, 0xFFF0, 2).c_str()), 0u);  // count
  // Payload section: offset, size, name offset.
  EXPECT_EQ(getFileVersionInfoSize(patched(shoff + 128 + 24, good.size(), 8).c_str()), 0u);
  EXPECT_EQ(getFileVersionInfoSize(patched(shoff + 128 + 32, ~0ull, 8).c_str()), 0u);
  EXPECT_EQ(getFileVersionInfoSize(patched(shoff + 128 + 0, 0x7FFFFFFF, 4).c_str()), 0u);
  // Name table running past the file.
  EXPECT_EQ(getFileVersionInfoSize(patched(shoff + 64 + 32, good.size(), 8).c_str()), 0u);
}

TEST_F(VersionInfoTest, EveryTruncationOfAValidFileHasSizeZero) {
  for (bool is64 : {true, false}) {
    ElfSpec spec;
    spec.is64 = is64;
    const Bytes good = ElfBuilder(spec).build();
    const std::string path = write(good);
    ASSERT_EQ(frameworkVersion(path), "4.1.0");
    for (std::size_t n = 0; n < good.size(); ++n) {
      std::ofstream(path, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(good.data()), static_cast<std::streamsize>(n));
      EXPECT_EQ(getFileVersionInfoSize(path.c_str()), 0u) << "length " << n;
    }
  }
}

TEST_F(VersionInfoTest, CorruptedBytesNeverReadOutsideTheFile) {
  // Every byte of a small valid file replaced by a few values: the reader
  // must answer without crashing, and a size it reports must lie in the file.
  const Bytes good = ElfBuilder(ElfSpec{}).build();
  const std::string path = write(good);
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (unsigned char v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
      Bytes b = good;
      b[i] = v;
      std::ofstream(path, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
      const std::uint32_t size = getFileVersionInfoSize(path.c_str());
      ASSERT_LE(size, b.size()) << "byte " << i;
      if (size > 0) frameworkVersion(path);
    }
  }
}

TEST_F(VersionInfoTest, ReadIntoASmallerBufferCopiesAPrefix) {
  const std::string path = write(ElfBuilder(ElfSpec{}).build());
  const std::uint32_t size = getFileVersionInfoSize(path.c_str());
  ASSERT_GT(size, 20u);
  std::vector<char> small(20, 'x');
  ASSERT_TRUE(getFileVersionInfo(path.c_str(), 20, small.data()));
  EXPECT_EQ(std::memcmp(small.data(), HB_VERSION_MAGIC, 9), 0);
  const char* value = nullptr;
  std::uint32_t length = 0;
  EXPECT_FALSE(verQueryValue(small.data(), 20, FRAMEWORK_VERSION_QUERY, &value, &length));

  std::vector<char> large(size + 16, 'x');
  ASSERT_TRUE(getFileVersionInfo(path.c_str(), size + 16, large.data()));
  EXPECT_EQ(large[size + 15], '\0');
  EXPECT_FALSE(getFileVersionInfo((dir_ + "/missing").c_str(), 16, large.data()));
}

TEST(VerQueryValueTest, FindsKeysAcrossPaddedBlocks) {
  std::string b = std::string(HB_VERSION_MAGIC
                              "\0"
                              "Other\0"
                              "x\0"
                              "\0",
                              17);
  b += std::string(7, '\0');  // alignment padding between two stamped objects
  b += block("5.0.0");
  const char* value = nullptr;
  std::uint32_t length = 0;
  ASSERT_TRUE(verQueryValue(b.data(), static_cast<std::uint32_t>(b.size()), FRAMEWORK_VERSION_QUERY,
                            &value, &length));
  EXPECT_EQ(std::string(value, length), "5.0.0");
  ASSERT_TRUE(
      verQueryValue(b.data(), static_cast<std::uint32_t>(b.size()), "Other", &value, &length));
  EXPECT_EQ(std::string(value), "x");
  EXPECT_FALSE(verQueryValue(b.data(), static_cast<std::uint32_t>(b.size()),
                             "\\StringFileInfo\\040904B0\\frameworkversion", &value, &length));
}

TEST(VerQueryValueTest, MalformedBlocksAnswerNoValue) {
  const char* value = nullptr;
  std::uint32_t length = 0;
  const std::string good = block("4.1.0");
  // Every cut that ends inside the value or before it finds nothing; the cut
  // copies are exact heap buffers so any read past them is caught.
  for (std::size_t n = 0; n < good.size() - 2; ++n) {
    std::vector<char> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(verQueryValue(cut.data(), static_cast<std::uint32_t>(n), FRAMEWORK_VERSION_QUERY,
                               &value, &length))
        << n;
  }
  std::string wrongMagic = good;
  wrongMagic[0] = 'X';
  EXPECT_FALSE(verQueryValue(wrongMagic.data(), static_cast<std::uint32_t>(wrongMagic.size()),
                             FRAMEWORK_VERSION_QUERY, &value, &length));
  EXPECT_FALSE(verQueryValue(nullptr, 10, FRAMEWORK_VERSION_QUERY, &value, &length));
  EXPECT_FALSE(verQueryValue(good.data(), static_cast<std::uint32_t>(good.size()), nullptr, &value,
                             &length));
}

}  // namespace
