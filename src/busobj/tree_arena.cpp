#include "busobj/tree_arena.hpp"

#include <algorithm>
#include <cstring>
#include <new>

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

static_assert(sizeof(ObjectHeader) == 2 * sizeof(TreeArena*),
              "TreeArena::of reads the arena two pointers before the object");

constexpr std::size_t kObjectBytes = sizeof(ObjectHeader) + (sizeof(BusinessObject) + 15) / 16 * 16;
constexpr std::size_t kFirstBlock = 4096;
constexpr std::size_t kLargestBlock = std::size_t{1} << 20;

}  // namespace

TreeArena::TreeArena(std::size_t textCapacity)
    : textBlock_(new char[textCapacity > 0 ? textCapacity : 1]),
      textCapacity_(textCapacity),
      nextBlockSize_(kFirstBlock) {
  // Bytes not handed out yet are off limits to a sanitized build.
  HB_POISON(textBlock_.get(), textCapacity_);
}

TreeArena* TreeArena::create(std::size_t textCapacity) { return new TreeArena(textCapacity); }

void* TreeArena::allocateBlockBytes(std::size_t size) {
  if (blockRoom_ < size) {
    const std::size_t blockSize = std::max(nextBlockSize_, size);
    objectBlocks_.push_back(
        Block{std::unique_ptr<unsigned char[]>(new unsigned char[blockSize]), blockSize});
    blockCursor_ = objectBlocks_.back().bytes.get();
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

void TreeArena::unpoison(const void* address, std::size_t size) { HB_UNPOISON(address, size); }

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
  for (const Block& block : objectBlocks_) HB_UNPOISON(block.bytes.get(), block.size);
  delete this;
}

void TreeArena::destroy(BusinessObject* object) {
  TreeArena* arena = of(object);
  object->~BusinessObject();
  HB_POISON(reinterpret_cast<ObjectHeader*>(object) - 1, kObjectBytes);
  arena->release();
}

}  // namespace hbconnector::detail
