// Matching array elements by key values in constant time.
//
// BusObjArray::findByKeys walks the array and returns the first present
// element whose keysEqual(probe) holds, so matching two arrays of n elements
// costs n^2 key comparisons. KeyIndex gives the same answers from a hash table
// of the elements' key texts, for the tree operations that match whole arrays.
//
// The index is only used where its answers are provably the same: every
// present element must have the same spec (the key attributes, and the layout
// check of keysEqual, come from the element's spec). An array that holds
// elements of several specs, or that receives one, makes the index unusable;
// callers then fall back to the linear search.
//
// Several elements may carry equal keys; each key keeps its elements in
// ascending positions, so the first one is what findByKeys would find. Callers
// report every change of the array: appended elements, removed ones (always
// the first of their key, as the operations only remove what they found),
// and elements replaced by ones with the same keys.
#ifndef HBCONNECTOR_BUSOBJ_KEY_INDEX_HPP_
#define HBCONNECTOR_BUSOBJ_KEY_INDEX_HPP_

#include <cstddef>
#include <cstdint>
#include <vector>

class BusinessObject;
class BusObjSpec;

namespace hbconnector::detail {

class KeyIndex {
 public:
  // Indexes the present elements of slots[0, count). Every call below takes
  // the array's current slots.
  KeyIndex(BusinessObject* const* slots, int count);

  // False once the array holds (or would hold) elements of another spec.
  bool usable() const { return usable_; }

  // The position of the first present element whose keys equal probe's, or
  // -1: what findByKeys returns. Only while usable().
  int find(const BusinessObject* probe, BusinessObject* const* slots) const;

  // The element at position was appended (positions only grow).
  void added(int position, BusinessObject* const* slots);
  // The element at position, the first of its key, is about to go.
  void removing(int position, BusinessObject* const* slots);
  // element, with the same keys as the one it replaces, is about to take its
  // place; only a different spec matters.
  void replacing(const BusinessObject* element);

  // Many lookups in a row. On arrays larger than the cache every lookup waits
  // for a chain of misses: the probe, its slot array, its key text, then the
  // table entry, the indexed element, its slot array and its key text. Probes
  // hashes all probes first, fetching each probe's memory a few probes ahead;
  // prefetch(t) then starts the table side of probe t's lookup a few lookups
  // ahead. The chains of successive probes overlap instead of following one
  // another; the answers are those of find(probe).
  class Probes {
   public:
    // probes must not change (nor their keys) while the lookups run; the
    // index may. A probe hashed before the index had a spec, or of another
    // spec than the index's, is looked up the plain way.
    Probes(const KeyIndex& index, BusinessObject* const* probes, int count);
    // Fetches ahead for the lookups after probe t in an array of slotCount slots.
    void prefetch(int t, BusinessObject* const* slots, int slotCount) const;
    // find(probes[t], slots).
    int find(int t, BusinessObject* const* slots) const;

   private:
    friend class KeyIndex;
    enum State : unsigned char { kPlain, kNoMatch, kHashed };
    const KeyIndex& index_;
    BusinessObject* const* probes_;
    int count_;
    std::vector<std::uint64_t> hashes_;
    std::vector<State> states_;
  };

  // Fetches ahead what keysEqual(a, b) reads, in three stages to be called a
  // few pairs apart (0: the objects, 1: their slot arrays, 2: the first key
  // texts), so the misses of successive pairs overlap.
  void prefetchPair(const BusinessObject* a, const BusinessObject* b, int stage) const;

 private:
  struct Entry {
    std::uint64_t hash = 0;
    int head = -1;  // first position of the key; -1 for an empty slot
    int tail = -1;
    bool dead = false;  // every element of the key is gone
  };

  // Whether element's spec can be indexed (setting the spec on first use).
  bool accept(const BusinessObject* element);
  // Hashes the element's key texts; false when one is missing (such an
  // element never matches anything).
  bool hashKeys(const BusinessObject* element, std::uint64_t* hash) const;
  bool sameKeys(const BusinessObject* a, const BusinessObject* b) const;
  // The live entry of element's key, or null.
  Entry* findEntry(const BusinessObject* element, std::uint64_t hash,
                   BusinessObject* const* slots) const;
  void insertEntry(const Entry& entry);
  // added() for an element whose keys hash to hash.
  void addHashed(int position, std::uint64_t hash, BusinessObject* const* slots);
  // Fetches the memory of element that hashing it reads (stage 0: the
  // object, 1: its slot array, 2: its first key text).
  void prefetchElement(const BusinessObject* element, int stage) const;

  bool usable_ = true;
  const BusObjSpec* spec_ = nullptr;
  std::vector<int> keyAttributes_;
  int firstKey_ = -1;  // the first of keyAttributes_, or -1
  std::vector<Entry> table_;
  std::size_t used_ = 0;
  std::vector<int> next_;  // per position: the next position of the same key
};

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_BUSOBJ_KEY_INDEX_HPP_
