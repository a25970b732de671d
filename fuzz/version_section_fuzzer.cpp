// The version-information reader: a connector library's file, its ELF
// section headers and the block in its version section. The first input byte
// picks what the rest is (even: a whole file, odd: a block on its own).
//
// Round trip: a block that was found is wrapped into a fresh, minimal ELF
// file, which must give back the same block and the same answer to the
// framework-version query. A value found in a bare block, written as a block
// of its own, must be found again.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "hbconnector/version_stamp.hpp"
#include "runtime/version_info.hpp"

namespace hd = hbconnector::detail;

namespace {

// A file in memory, reachable by path, rewritten for every input.
class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("hb-version-fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0) hbfuzz::fail("memfd_create");
    std::snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
  }
  const char* write(const void* data, std::size_t size) {
    if (ftruncate(fd_, 0) != 0) hbfuzz::fail("ftruncate");
    if (size > 0 && pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) {
      hbfuzz::fail("pwrite");
    }
    return path_;
  }

 private:
  int fd_;
  char path_[64];
};

void put(std::vector<unsigned char>& out, std::size_t at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A little-endian ELF64 file with three sections: the null section, the
// version section holding block, and the section-name table.
std::vector<unsigned char> elfWith(const std::vector<unsigned char>& block) {
  static constexpr char kNames[] = "\0" HB_VERSION_SECTION "\0.shstrtab";
  const std::string names(kNames, sizeof kNames);
  const std::size_t blockAt = 64;
  const std::size_t namesAt = blockAt + block.size();
  const std::size_t headersAt = (namesAt + names.size() + 7) & ~std::size_t{7};
  std::vector<unsigned char> file(headersAt + 3 * 64, 0);
  std::memcpy(file.data(),
              "\x7f"
              "ELF",
              4);
  file[4] = 2;  // 64-bit
  file[5] = 1;  // little-endian
  file[6] = 1;
  put(file, 0x10, 3, 2);  // shared object
  put(file, 0x12, 62, 2);
  put(file, 0x14, 1, 4);
  put(file, 0x28, headersAt, 8);
  put(file, 0x34, 64, 2);
  put(file, 0x3A, 64, 2);
  put(file, 0x3C, 3, 2);
  put(file, 0x3E, 2, 2);
  std::memcpy(file.data() + blockAt, block.data(), block.size());
  std::memcpy(file.data() + namesAt, names.data(), names.size());
  auto section = [&](int index, std::uint32_t name, std::uint32_t type, std::uint64_t offset,
                     std::uint64_t size) {
    const std::size_t at = headersAt + 64 * static_cast<std::size_t>(index);
    put(file, at, name, 4);
    put(file, at + 4, type, 4);
    put(file, at + 24, offset, 8);
    put(file, at + 32, size, 8);
  };
  section(1, 1, 1, blockAt, block.size());
  section(2, 1 + sizeof(HB_VERSION_SECTION), 3, namesAt, names.size());
  return file;
}

struct Answer {
  bool found = false;
  std::string value;
};

Answer query(const std::vector<unsigned char>& block, const char* path) {
  Answer answer;
  const char* value = nullptr;
  std::uint32_t length = 0;
  answer.found = hd::verQueryValue(block.data(), static_cast<std::uint32_t>(block.size()), path,
                                   &value, &length);
  if (answer.found) {
    if (value < reinterpret_cast<const char*>(block.data()) ||
        value + length >= reinterpret_cast<const char*>(block.data()) + block.size() ||
        value[length] != '\0') {
      hbfuzz::fail("a value outside its block");
    }
    answer.value.assign(value, length);
  }
  return answer;
}

// Reads the block of the file at path; empty when it has none.
std::vector<unsigned char> blockOf(const char* path) {
  const std::uint32_t size = hd::getFileVersionInfoSize(path);
  if (size == 0) return {};
  if (size > hd::kMaxVersionInfoSize) hbfuzz::fail("a block above the limit");
  std::vector<unsigned char> block(size);
  if (!hd::getFileVersionInfo(path, size, block.data())) hbfuzz::fail("a sized block unreadable");
  return block;
}

void fileRoundTrip(MemoryFile& file, const std::uint8_t* data, std::size_t size) {
  const std::vector<unsigned char> block = blockOf(file.write(data, size));
  if (block.empty()) return;
  const Answer answer = query(block, hd::kFrameworkVersionQuery);
  const std::vector<unsigned char> rewritten = elfWith(block);
  const std::vector<unsigned char> again = blockOf(file.write(rewritten.data(), rewritten.size()));
  if (again != block) hbfuzz::fail("a rewritten file gives another block");
  const Answer second = query(again, hd::kFrameworkVersionQuery);
  if (second.found != answer.found || second.value != answer.value) {
    hbfuzz::fail("a rewritten file answers differently");
  }
}

void blockRoundTrip(const std::uint8_t* data, std::size_t size) {
  const std::vector<unsigned char> block(data, data + size);
  // The query path is the input's first text when it has one, so that keys
  // other than the framework version are looked up as well.
  const std::string path = hbfuzz::asText(data, size);
  for (const char* wanted : {hd::kFrameworkVersionQuery, path.c_str()}) {
    const Answer answer = query(block, wanted);
    if (!answer.found) continue;
    std::string key = wanted;
    key.erase(0, key.find_first_not_of('\\'));
    if (key.empty()) hbfuzz::fail("a value found under an empty key");
    std::string fresh(HB_VERSION_MAGIC, sizeof HB_VERSION_MAGIC);
    fresh += key + '\0' + answer.value + '\0' + '\0';
    const Answer again = query(std::vector<unsigned char>(fresh.begin(), fresh.end()), wanted);
    if (!again.found || again.value != answer.value) hbfuzz::fail("a found value is lost");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static MemoryFile& file = *new MemoryFile;
  if (size == 0) return 0;
  if ((data[0] & 1) == 0) {
    fileRoundTrip(file, data + 1, size - 1);
  } else {
    blockRoundTrip(data + 1, size - 1);
  }
  return 0;
}
