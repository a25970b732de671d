// Memory for the child objects of one tree read from a record.
//
// Reading a record of many children would otherwise cost a dozen heap
// allocations per child (the object, its verb, its locale, every value) and as
// many releases when the tree goes, which is most of the time of a verb
// request. A TreeArena hands out that memory from a few large blocks:
//   - texts (values, verbs and locales of the children) from one text block
//     sized from the record's text, which cannot need more: every token takes
//     at least its length plus one byte of text;
//   - child objects from object blocks, each preceded by a header naming the
//     arena.
//
// Ownership stays per object. A child object in an arena is still deleted with
// delete (BusinessObject's destroying operator delete runs its destructor and
// hands the memory back to its arena); a text in the text block is released
// by its owner like any slot text, which does nothing for arena texts. A text
// replaced through the API is a heap copy, released with delete[] later; so
// is a slot array. The arena itself goes when its last object goes, whichever
// tree that object is in by then.
//
// A value of a child object of a read tree must therefore be released through
// the object (setAttrValue, setValues, the destructor), never with delete[]
// directly: its memory may be part of the arena.
//
// The blocks of an arena that goes are kept by the thread that releases it
// (up to 4 MB) for the next trees read there, so that a stream of similar
// requests reuses warm memory.
//
// Thread safety: an arena's objects may be deleted on different threads (the
// live count is atomic); allocation happens on the reading thread only.
#ifndef HBCONNECTOR_BUSOBJ_TREE_ARENA_HPP_
#define HBCONNECTOR_BUSOBJ_TREE_ARENA_HPP_

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "serial/codec.hpp"

class BusinessObject;

namespace hbconnector::detail {

using codec::copyBytes;

class TreeArena {
 public:
  // An arena whose text block holds textCapacity bytes. The reader holds one
  // reference until it calls release().
  static TreeArena* create(std::size_t textCapacity);

  // A new invalid BusinessObject (no spec, no slots) living in this arena.
  BusinessObject* newObject();
  // A zero-terminated copy of length bytes of data: in the text block while
  // it has room, else on the heap (new[]; its owner releases it with delete[]).
  char* copyText(const char* data, std::size_t length) {
    if (textCapacity_ - textUsed_ <= length) return copyTextToHeap(data, length);
    char* text = textBlock_.get() + textUsed_;
    textUsed_ += length + 1;
    unpoison(text, length + 1);
    copyBytes(text, data, length);
    text[length] = '\0';
    return text;
  }
  // count unset slots (null pointers) in an object block.
  void** allocateSlots(std::size_t count);

  // Whether text lies in this arena's text block.
  bool ownsText(const void* text) const {
    const char* p = static_cast<const char*>(text);
    return p >= textBlock_.get() && p < textBlock_.get() + textCapacity_;
  }

  // Drops one reference; the last one frees the arena.
  void release();

  // The arena of an object created by newObject: the header before it.
  static TreeArena* of(const BusinessObject* object) {
    return *(reinterpret_cast<TreeArena* const*>(object) - 2);
  }
  // Destroys an object created by newObject and releases its reference.
  static void destroy(BusinessObject* object);

 private:
  explicit TreeArena(std::size_t textCapacity);
  void* allocateBlockBytes(std::size_t size);
  static char* copyTextToHeap(const char* data, std::size_t length);
  // Makes bytes handed out addressable again in sanitized builds; nothing,
  // and no call, in others (one per text copied: rows read/ours_*/M, L).
#if defined(__SANITIZE_ADDRESS__)
  static void unpoison(const void* address, std::size_t size);
#else
  static void unpoison(const void*, std::size_t) {}
#endif

  std::atomic<long> references_{1};
  std::unique_ptr<char[]> textBlock_;
  std::size_t textCapacity_;
  std::size_t textUsed_ = 0;
  struct Block {
    std::unique_ptr<char[]> bytes;
    std::size_t size;
  };
  std::vector<Block> objectBlocks_;
  char* blockCursor_ = nullptr;
  std::size_t blockRoom_ = 0;
  std::size_t nextBlockSize_;
};

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_BUSOBJ_TREE_ARENA_HPP_
