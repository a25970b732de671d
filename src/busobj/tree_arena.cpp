#include "busobj/tree_arena.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "busobj/busobj_access.hpp"
#include "hbconnector/business_object.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define HB_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define HB_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define HB_POISON(address, size) ((void)(address), (void)(size))
#define HB_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace hbconnector::detail {
namespace {

// Every object is preceded by a header naming its arena; the object itself
// starts on the next 16-byte boundary.
struct alignas(16) ObjectHeader {
  TreeArena* arena;
};

// The size of the pointer itself is meant: the header is two pointers wide.
// NOLINTNEXTLINE(bugprone-sizeof-expression)
static_assert(sizeof(ObjectHeader) == 2 * sizeof(TreeArena*),
              "TreeArena::of reads the arena two pointers before the object");

constexpr std::size_t kObjectBytes = sizeof(ObjectHeader) + (sizeof(BusinessObject) + 15) / 16 * 16;
constexpr std::size_t kFirstBlock = 4096;
constexpr std::size_t kLargestBlock = std::size_t{1} << 20;

// The blocks of arenas that went, kept for the next trees read on the same
// thread: a verb request reads a record much like the one before, and reusing
// the memory keeps it warm and spares the allocator, which hands large blocks
// back to the system and faults them in again. At most kCachedBytes per thread:
// agent threads each keep no more than that once their trees are gone. The
// per-thread cache is kept for rows read/ours_delimited_tree/L and
// read/ours_prefixed_tree/L.
constexpr std::size_t kCachedBytes = std::size_t{4} << 20;
constexpr std::size_t kCachedBlocks = 64;

class BlockCache {
 public:
  ~BlockCache() {
    gone = true;
    for (const auto& [bytes, size] : blocks_) {
      HB_UNPOISON(bytes, size);
      delete[] bytes;
    }
  }

  // A block of at least `minimum` bytes (not much more, so that a small
  // tree does not sit on a large block); its size goes to *size.
  char* take(std::size_t minimum, std::size_t* size) {
    // The smallest block that fits, so that a stream of similar trees takes
    // the same blocks each time.
    std::size_t best = blocks_.size();
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
      const std::size_t blockSize = blocks_[i].second;
      if (blockSize < minimum || blockSize > 2 * minimum + kFirstBlock) continue;
      if (best == blocks_.size() || blockSize < blocks_[best].second) best = i;
    }
    if (best == blocks_.size()) {
      *size = minimum;
      return new char[minimum];
    }
    const auto [bytes, blockSize] = blocks_[best];
    blocks_[best] = blocks_.back();
    blocks_.pop_back();
    cached_ -= blockSize;
    HB_UNPOISON(bytes, blockSize);
    *size = blockSize;
    return bytes;
  }

  void give(char* bytes, std::size_t size) {
    if (cached_ + size > kCachedBytes || blocks_.size() >= kCachedBlocks) {
      delete[] bytes;
      return;
    }
    HB_POISON(bytes, size);
    blocks_.emplace_back(bytes, size);
    cached_ += size;
  }

  // Set once the thread's cache is destroyed: arenas that go later (objects
  // of thread-local or static lifetime) free their blocks directly.
  static thread_local bool gone;

 private:
  std::vector<std::pair<char*, std::size_t>> blocks_;
  std::size_t cached_ = 0;
};

thread_local bool BlockCache::gone = false;
thread_local BlockCache tBlockCache;

char* takeBlock(std::size_t minimum, std::size_t* size) {
  if (BlockCache::gone) {
    *size = minimum;
    return new char[minimum];
  }
  return tBlockCache.take(minimum, size);
}

void giveBlock(char* bytes, std::size_t size) {
  if (BlockCache::gone) {
    delete[] bytes;
    return;
  }
  tBlockCache.give(bytes, size);
}

}  // namespace

TreeArena::TreeArena(std::size_t textCapacity) : nextBlockSize_(kFirstBlock) {
  textBlock_.reset(takeBlock(textCapacity > 0 ? textCapacity : 1, &textCapacity_));
  // Bytes not handed out yet are off limits to a sanitized build.
  HB_POISON(textBlock_.get(), textCapacity_);
}

TreeArena* TreeArena::create(std::size_t textCapacity) { return new TreeArena(textCapacity); }

void* TreeArena::allocateBlockBytes(std::size_t size) {
  if (blockRoom_ < size) {
    std::size_t blockSize = 0;
    char* block = takeBlock(std::max(nextBlockSize_, size), &blockSize);
    objectBlocks_.push_back(Block{std::unique_ptr<char[]>(block), blockSize});
    blockCursor_ = block;
    blockRoom_ = blockSize;
    HB_POISON(blockCursor_, blockRoom_);
    nextBlockSize_ = std::min(nextBlockSize_ * 2, kLargestBlock);
  }
  void* bytes = blockCursor_;
  blockCursor_ += size;
  blockRoom_ -= size;
  HB_UNPOISON(bytes, size);
  return bytes;
}

BusinessObject* TreeArena::newObject() {
  void* bytes = allocateBlockBytes(kObjectBytes);
  auto* header = new (bytes) ObjectHeader{this};
  BusinessObject* object = BusObjAccess::constructInvalid(header + 1);
  BusObjAccess::setInArena(*object);
  references_.fetch_add(1, std::memory_order_relaxed);
  return object;
}

char* TreeArena::copyTextToHeap(const char* data, std::size_t length) {
  return dupText(data, length);
}

#if defined(__SANITIZE_ADDRESS__)
void TreeArena::unpoison(const void* address, std::size_t size) { HB_UNPOISON(address, size); }
#endif

void** TreeArena::allocateSlots(std::size_t count) {
  const std::size_t bytes = (count * sizeof(void*) + 15) / 16 * 16;
  auto** slots = static_cast<void**>(allocateBlockBytes(bytes > 0 ? bytes : 16));
  std::memset(slots, 0, count * sizeof(void*));
  return slots;
}

void TreeArena::release() {
  if (references_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // Sanitized builds check that nothing reaches into the blocks once freed;
  // the allocator wants them addressable when they go back.
  HB_UNPOISON(textBlock_.get(), textCapacity_);
  giveBlock(textBlock_.release(), textCapacity_);
  for (Block& block : objectBlocks_) {
    HB_UNPOISON(block.bytes.get(), block.size);
    giveBlock(block.bytes.release(), block.size);
  }
  delete this;
}

void TreeArena::destroy(BusinessObject* object) {
  TreeArena* arena = of(object);
  object->~BusinessObject();
  HB_POISON(reinterpret_cast<ObjectHeader*>(object) - 1, kObjectBytes);
  arena->release();
}

}  // namespace hbconnector::detail
