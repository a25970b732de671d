#include "busobj/key_index.hpp"

#include <cstring>

#include "busobj/busobj_access.hpp"
#include "hbconnector/business_object.hpp"

namespace hbconnector::detail {

namespace {

constexpr std::uint64_t kFnvOffset = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;

// Probes between two stages of fetching ahead: far enough for a miss to
// arrive while the probes in between are handled, near enough that what
// arrived is still cached. The pipeline is kept for rows
// tree/markVerbsAgainst/100000 and tree/mergeDelta/100000 (arrays larger
// than the cache, where every lookup otherwise waits for a chain of misses).
constexpr int kAhead = 4;

inline void fetch(const void* address) {
  if (address != nullptr) __builtin_prefetch(address);
}

}  // namespace

KeyIndex::KeyIndex(BusinessObject* const* slots, int count) {
  std::size_t size = 16;
  while (size < static_cast<std::size_t>(count) * 2 + 2) size *= 2;
  table_.resize(size);
  next_.reserve(static_cast<std::size_t>(count) + static_cast<std::size_t>(count) / 4 + 1);
  // The first present element gives the spec, so that the rest can be hashed
  // in one pass ahead of their insertion.
  int k = 0;
  for (; k < count && usable_ && spec_ == nullptr; ++k) added(k, slots);
  if (k >= count || !usable_) return;
  const Probes probes(*this, slots + k, count - k);
  const std::size_t mask = table_.size() - 1;
  for (int t = 0; k + t < count && usable_; ++t) {
    if (t + kAhead < count - k && probes.states_[t + kAhead] == Probes::kHashed) {
      fetch(&table_[probes.hashes_[t + kAhead] & mask]);
    }
    if (probes.states_[t] == Probes::kHashed) {
      addHashed(k + t, probes.hashes_[t], slots);
    } else {
      added(k + t, slots);
    }
  }
}

void KeyIndex::prefetchElement(const BusinessObject* element, int stage) const {
  if (element == nullptr) return;
  if (stage == 0) {
    fetch(element);
    return;
  }
  void* const* values = element->getAttrValues();
  if (stage == 1) {
    fetch(values);
  } else if (values != nullptr && firstKey_ >= 0 && element->getSpec() == spec_) {
    fetch(values[firstKey_]);
  }
}

void KeyIndex::prefetchPair(const BusinessObject* a, const BusinessObject* b, int stage) const {
  prefetchElement(a, stage);
  prefetchElement(b, stage);
}

KeyIndex::Probes::Probes(const KeyIndex& index, BusinessObject* const* probes, int count)
    : index_(index),
      probes_(probes),
      count_(count > 0 ? count : 0),
      hashes_(static_cast<std::size_t>(count_)),
      states_(static_cast<std::size_t>(count_), kPlain) {
  if (index.spec_ == nullptr) return;
  for (int t = 0; t < count_; ++t) {
    for (int stage = 0; stage < 3; ++stage) {
      const int ahead = t + (3 - stage) * kAhead;
      if (ahead < count_) index.prefetchElement(probes[ahead], stage);
    }
    const BusinessObject* probe = probes[t];
    // What find() would answer -1 for without hashing, or look up the plain way.
    if (probe == nullptr || probe->getAttrValues() == nullptr) {
      states_[t] = kNoMatch;
    } else if (probe->getSpec() == index.spec_) {
      states_[t] = index.hashKeys(probe, &hashes_[t]) ? kHashed : kNoMatch;
    }
  }
}

void KeyIndex::Probes::prefetch(int t, BusinessObject* const* slots, int slotCount) const {
  const std::size_t mask = index_.table_.size() - 1;
  // Stage 0 fetches the table entry; each later stage reads what the one
  // before fetched kAhead lookups earlier.
  for (int stage = 0; stage < 4; ++stage) {
    const int ahead = t + (4 - stage) * kAhead;
    if (ahead >= count_ || states_[ahead] != kHashed) continue;
    const Entry& entry = index_.table_[hashes_[ahead] & mask];
    if (stage == 0) {
      fetch(&entry);
      continue;
    }
    // The probe's keys are compared with the indexed element's: both chains.
    index_.prefetchElement(probes_[ahead], stage - 1);
    if (entry.head < 0 || entry.head >= slotCount) continue;
    index_.prefetchElement(slots[entry.head], stage - 1);
  }
}

int KeyIndex::Probes::find(int t, BusinessObject* const* slots) const {
  switch (states_[t]) {
    case kNoMatch:
      return -1;
    case kHashed: {
      const Entry* entry = index_.findEntry(probes_[t], hashes_[t], slots);
      return entry != nullptr ? entry->head : -1;
    }
    case kPlain:
      break;
  }
  return index_.find(probes_[t], slots);
}

bool KeyIndex::accept(const BusinessObject* element) {
  const BusObjSpec* spec = element->getSpec();
  if (spec_ == nullptr) {
    spec_ = spec;
    const AttrSpec* attrs = spec->getAttributes();
    for (int i = 0; i < spec->getAttributeCount() && attrs != nullptr; ++i) {
      // Keys are simple values; keysEqual skips a key flag on a child attribute.
      if (attrs[i].isKey() && !attrs[i].isObjectType()) keyAttributes_.push_back(i);
    }
    if (!keyAttributes_.empty()) firstKey_ = keyAttributes_.front();
    return true;
  }
  if (spec != spec_) usable_ = false;
  return usable_;
}

bool KeyIndex::hashKeys(const BusinessObject* element, std::uint64_t* hash) const {
  void* const* values = element->getAttrValues();
  std::uint64_t h = kFnvOffset;
  for (int i : keyAttributes_) {
    const auto* text = static_cast<const unsigned char*>(values[i]);
    if (text == nullptr) return false;
    for (; *text != 0; ++text) h = (h ^ *text) * kFnvPrime;
    h = (h ^ 0xffu) * kFnvPrime;  // ends the text: "ab"+"c" differs from "a"+"bc"
  }
  *hash = h;
  return true;
}

bool KeyIndex::sameKeys(const BusinessObject* a, const BusinessObject* b) const {
  void* const* x = a->getAttrValues();
  void* const* y = b->getAttrValues();
  for (int i : keyAttributes_) {
    if (std::strcmp(static_cast<const char*>(x[i]), static_cast<const char*>(y[i])) != 0) {
      return false;
    }
  }
  return true;
}

KeyIndex::Entry* KeyIndex::findEntry(const BusinessObject* element, std::uint64_t hash,
                                     BusinessObject* const* slots) const {
  const std::size_t mask = table_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Entry& entry = table_[i];
    if (entry.head < 0 && !entry.dead) return nullptr;
    if (!entry.dead && entry.hash == hash && sameKeys(slots[entry.head], element)) {
      return const_cast<Entry*>(&entry);
    }
  }
}

void KeyIndex::insertEntry(const Entry& entry) {
  if ((used_ + 1) * 2 > table_.size()) {
    // Rebuild twice as large, dropping the keys whose elements are all gone.
    std::vector<Entry> old(table_.size() * 2);
    old.swap(table_);
    used_ = 0;
    for (const Entry& e : old) {
      if (e.head >= 0 && !e.dead) insertEntry(e);
    }
  }
  const std::size_t mask = table_.size() - 1;
  std::size_t i = entry.hash & mask;
  while (table_[i].head >= 0 || table_[i].dead) i = (i + 1) & mask;
  table_[i] = entry;
  ++used_;
}

int KeyIndex::find(const BusinessObject* probe, BusinessObject* const* slots) const {
  if (probe == nullptr || spec_ == nullptr || probe->getAttrValues() == nullptr) return -1;
  if (!BusObjAccess::sameLayout(spec_, probe->getSpec())) return -1;
  std::uint64_t hash;
  if (!hashKeys(probe, &hash)) return -1;
  const Entry* entry = findEntry(probe, hash, slots);
  return entry != nullptr ? entry->head : -1;
}

void KeyIndex::added(int position, BusinessObject* const* slots) {
  if (!usable_) return;
  if (static_cast<std::size_t>(position) >= next_.size()) {
    next_.resize(static_cast<std::size_t>(position) + 1, -1);
  }
  const BusinessObject* element = slots[position];
  // An element without slots never equals anything under keysEqual.
  if (element == nullptr || element->getAttrValues() == nullptr) return;
  if (!accept(element)) return;
  std::uint64_t hash;
  if (!hashKeys(element, &hash)) return;
  addHashed(position, hash, slots);
}

void KeyIndex::addHashed(int position, std::uint64_t hash, BusinessObject* const* slots) {
  if (static_cast<std::size_t>(position) >= next_.size()) {
    next_.resize(static_cast<std::size_t>(position) + 1, -1);
  }
  const BusinessObject* element = slots[position];
  if (Entry* entry = findEntry(element, hash, slots)) {
    next_[entry->tail] = position;
    entry->tail = position;
    return;
  }
  insertEntry(Entry{hash, position, position, false});
}

void KeyIndex::removing(int position, BusinessObject* const* slots) {
  if (!usable_) return;
  const BusinessObject* element = slots[position];
  if (element == nullptr || element->getAttrValues() == nullptr) return;
  std::uint64_t hash;
  if (!hashKeys(element, &hash)) return;
  Entry* entry = findEntry(element, hash, slots);
  if (entry == nullptr || entry->head != position) {
    // Only the first element of a key is ever removed; anything else means
    // the index no longer describes the array.
    usable_ = false;
    return;
  }
  entry->head = next_[position];
  if (entry->head < 0) entry->dead = true;
}

void KeyIndex::replacing(const BusinessObject* element) {
  if (!usable_ || element == nullptr || element->getAttrValues() == nullptr) return;
  if (element->getSpec() != spec_) usable_ = false;
}

}  // namespace hbconnector::detail
