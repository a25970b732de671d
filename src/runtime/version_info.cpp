#include "runtime/version_info.hpp"

#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "hbconnector/version_stamp.hpp"

namespace hbconnector::detail {
namespace {

// Tables larger than this are not a plausible shared library.
constexpr std::uint64_t kMaxTableBytes = 16u << 20;

constexpr unsigned char kElfClass32 = 1;
constexpr unsigned char kElfClass64 = 2;
constexpr unsigned char kElfDataLsb = 1;
constexpr unsigned char kElfDataMsb = 2;
constexpr std::uint32_t kShtNobits = 8;
constexpr std::uint32_t kShnXindex = 0xffff;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Reads exactly n bytes at offset, retrying short reads.
bool readAt(int fd, std::uint64_t offset, void* out, std::size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    offset += static_cast<std::uint64_t>(got);
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

// Whether [offset, offset + size) lies inside a file of fileSize bytes,
// without overflowing.
bool fits(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

class Fields {
 public:
  explicit Fields(bool bigEndian) : big_(bigEndian) {}
  std::uint64_t get(const unsigned char* p, int width) const {
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i) {
      const int index = big_ ? i : width - 1 - i;
      v = (v << 8) | p[index];
    }
    return v;
  }

 private:
  bool big_;
};

// Layout of the header fields and section headers of one ELF class.
struct Layout {
  std::size_t headerSize;
  std::size_t shoffAt, shoffWidth, shentsizeAt, shnumAt, shstrndxAt;
  std::size_t sectionHeaderSize;
  std::size_t nameAt, typeAt, offsetAt, sizeAt, linkAt, wordWidth;
};

constexpr Layout ELF64_LAYOUT{64, 0x28, 8, 0x3A, 0x3C, 0x3E, 64, 0, 4, 24, 32, 40, 8};
constexpr Layout ELF32_LAYOUT{52, 0x20, 4, 0x2E, 0x30, 0x32, 40, 0, 4, 16, 20, 24, 4};

struct SectionHeader {
  std::uint32_t name;
  std::uint32_t type;
  std::uint64_t offset;
  std::uint64_t size;
  std::uint32_t link;
};

struct Section {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

class ElfReader {
 public:
  ElfReader(int fd, std::uint64_t fileSize) : fd_(fd), fileSize_(fileSize) {}

  // Locates the version section; false for anything that is not a well-formed
  // ELF file with a non-empty version section inside the file.
  bool findVersionSection(Section* found) {
    unsigned char ident[64] = {};
    if (fileSize_ < 16 || !readAt(fd_, 0, ident, 16)) return false;
    if (std::memcmp(ident,
                    "\x7f"
                    "ELF",
                    4) != 0)
      return false;
    if (ident[4] == kElfClass64) {
      layout_ = &ELF64_LAYOUT;
    } else if (ident[4] == kElfClass32) {
      layout_ = &ELF32_LAYOUT;
    } else {
      return false;
    }
    if (ident[5] != kElfDataLsb && ident[5] != kElfDataMsb) return false;
    fields_ = Fields(ident[5] == kElfDataMsb);
    if (!fits(0, layout_->headerSize, fileSize_) || !readAt(fd_, 0, ident, layout_->headerSize)) {
      return false;
    }
    const std::uint64_t shoff =
        fields_.get(ident + layout_->shoffAt, static_cast<int>(layout_->shoffWidth));
    const std::uint64_t shentsize = fields_.get(ident + layout_->shentsizeAt, 2);
    std::uint64_t shnum = fields_.get(ident + layout_->shnumAt, 2);
    std::uint64_t shstrndx = fields_.get(ident + layout_->shstrndxAt, 2);
    if (shoff == 0 || shentsize < layout_->sectionHeaderSize) return false;
    shentsize_ = shentsize;
    shoff_ = shoff;

    // Extended numbering: the real count and string table index live in the
    // first section header.
    if (shnum == 0 || shstrndx == kShnXindex) {
      SectionHeader first;
      if (!readHeader(0, 1, &first)) return false;
      if (shnum == 0) shnum = first.size;
      if (shstrndx == kShnXindex) shstrndx = first.link;
    }
    if (shnum == 0 || shstrndx >= shnum) return false;
    if (shnum > kMaxTableBytes / shentsize || !fits(shoff, shnum * shentsize, fileSize_)) {
      return false;
    }
    std::vector<unsigned char> table(shnum * shentsize);
    if (!readAt(fd_, shoff, table.data(), table.size())) return false;

    const SectionHeader names = decode(table.data() + shstrndx * shentsize);
    if (names.type == kShtNobits || names.size == 0 || names.size > kMaxTableBytes ||
        !fits(names.offset, names.size, fileSize_)) {
      return false;
    }
    std::vector<char> strings(names.size);
    if (!readAt(fd_, names.offset, strings.data(), strings.size())) return false;

    constexpr std::string_view wanted(HB_VERSION_SECTION);
    for (std::uint64_t i = 0; i < shnum; ++i) {
      const SectionHeader s = decode(table.data() + i * shentsize);
      if (s.name >= strings.size()) continue;
      // The name must end with its zero inside the string table.
      const std::size_t room = strings.size() - s.name;
      if (room <= wanted.size() || strings[s.name + wanted.size()] != '\0' ||
          std::memcmp(strings.data() + s.name, wanted.data(), wanted.size()) != 0) {
        continue;
      }
      if (s.type == kShtNobits || s.size == 0 || s.size > kMaxVersionInfoSize ||
          !fits(s.offset, s.size, fileSize_)) {
        return false;
      }
      found->offset = s.offset;
      found->size = s.size;
      return true;
    }
    return false;
  }

 private:
  bool readHeader(std::uint64_t index, std::uint64_t count, SectionHeader* out) {
    if (!fits(shoff_, (index + count) * shentsize_, fileSize_)) return false;
    std::vector<unsigned char> raw(layout_->sectionHeaderSize);
    if (!readAt(fd_, shoff_ + index * shentsize_, raw.data(), raw.size())) return false;
    *out = decode(raw.data());
    return true;
  }

  SectionHeader decode(const unsigned char* p) const {
    SectionHeader h;
    h.name = static_cast<std::uint32_t>(fields_.get(p + layout_->nameAt, 4));
    h.type = static_cast<std::uint32_t>(fields_.get(p + layout_->typeAt, 4));
    h.offset = fields_.get(p + layout_->offsetAt, static_cast<int>(layout_->wordWidth));
    h.size = fields_.get(p + layout_->sizeAt, static_cast<int>(layout_->wordWidth));
    h.link = static_cast<std::uint32_t>(fields_.get(p + layout_->linkAt, 4));
    return h;
  }

  int fd_;
  std::uint64_t fileSize_;
  const Layout* layout_ = nullptr;
  Fields fields_{false};
  std::uint64_t shoff_ = 0;
  std::uint64_t shentsize_ = 0;
};

// The path of a loaded library whose file name is `baseName`, or empty.
std::string findLoadedLibrary(const char* baseName) {
  struct Search {
    const char* baseName;
    std::string path;
  } search{baseName, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* s = static_cast<Search*>(data);
        if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
        const char* slash = std::strrchr(info->dlpi_name, '/');
        const char* base = slash ? slash + 1 : info->dlpi_name;
        if (std::strcmp(base, s->baseName) != 0) return 0;
        s->path = info->dlpi_name;
        return 1;
      },
      &search);
  return search.path;
}

int openLibrary(const char* fileName) {
  int fd = ::open(fileName, O_RDONLY | O_CLOEXEC);
  if (fd >= 0 || std::strchr(fileName, '/') != nullptr) return fd;
  const std::string loaded = findLoadedLibrary(fileName);
  return loaded.empty() ? -1 : ::open(loaded.c_str(), O_RDONLY | O_CLOEXEC);
}

// Opens the file and locates its version section.
bool locate(const char* fileName, FileDescriptor* fd, Section* section) {
  if (fileName == nullptr || fileName[0] == '\0') return false;
  fd->reset(openLibrary(fileName));
  if (fd->get() < 0) return false;
  struct stat st;
  if (::fstat(fd->get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  ElfReader reader(fd->get(), static_cast<std::uint64_t>(st.st_size));
  return reader.findVersionSection(section);
}

}  // namespace

std::uint32_t getFileVersionInfoSize(const char* fileName) {
  FileDescriptor fd(-1);
  Section section;
  if (!locate(fileName, &fd, &section)) return 0;
  return static_cast<std::uint32_t>(section.size);
}

bool getFileVersionInfo(const char* fileName, std::uint32_t size, void* buffer) {
  if (buffer == nullptr || size == 0) return false;
  FileDescriptor fd(-1);
  Section section;
  if (!locate(fileName, &fd, &section)) return false;
  const std::size_t n = section.size < size ? static_cast<std::size_t>(section.size) : size;
  auto* out = static_cast<unsigned char*>(buffer);
  if (!readAt(fd.get(), section.offset, out, n)) return false;
  std::memset(out + n, 0, size - n);
  return true;
}

bool verQueryValue(const void* block, std::uint32_t size, const char* subBlock, const char** value,
                   std::uint32_t* length) {
  if (block == nullptr || subBlock == nullptr || value == nullptr || length == nullptr) {
    return false;
  }
  while (*subBlock == '\\') ++subBlock;
  const std::string_view wanted(subBlock);
  const char* p = static_cast<const char*>(block);
  const char* const end = p + size;
  constexpr std::string_view magic(HB_VERSION_MAGIC, sizeof(HB_VERSION_MAGIC));

  // Next zero-terminated text starting at p, or false when it runs past end.
  auto nextText = [&](std::string_view* text) {
    const void* zero = std::memchr(p, '\0', static_cast<std::size_t>(end - p));
    if (zero == nullptr) return false;
    *text = std::string_view(p, static_cast<const char*>(zero) - p);
    p = static_cast<const char*>(zero) + 1;
    return true;
  };

  // Blocks of several stamped objects may follow one another, separated by
  // zero padding.
  while (p < end) {
    if (*p == '\0') {
      ++p;
      continue;
    }
    if (static_cast<std::size_t>(end - p) < magic.size() ||
        std::memcmp(p, magic.data(), magic.size()) != 0) {
      return false;
    }
    p += magic.size();
    for (;;) {
      std::string_view key;
      std::string_view text;
      if (!nextText(&key)) return false;
      if (key.empty()) break;
      if (!nextText(&text)) return false;
      if (key == wanted) {
        *value = text.data();
        *length = static_cast<std::uint32_t>(text.size());
        return true;
      }
    }
  }
  return false;
}

}  // namespace hbconnector::detail
