// Tree operations for after-image and delta handling: verb marking, merging a
// delta or later image into an after-image, and applying a delta to a freshly
// retrieved object. Children are matched by key values, never by position;
// everything stored is a fresh copy, so the images passed in stay intact
// (except that an unmatched delta element may be given the verb "Create").
//
// Matching goes through a KeyIndex (key_index.hpp) built once per array
// operation, which gives the same first match as BusObjArray::findByKeys in
// constant time; arrays it cannot describe fall back to findByKeys.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "busobj/busobj_access.hpp"
#include "busobj/key_index.hpp"
#include "hbconnector/business_object.hpp"

using hbconnector::detail::BusObjAccess;
using hbconnector::detail::KeyIndex;

namespace {

bool hasVerb(const BusinessObject& bo, const char* verb) {
  return bo.getVerb() != nullptr && std::strcmp(bo.getVerb(), verb) == 0;
}

// A copy of source whose parent is parent; null when source is invalid.
BusinessObject* copyWithParent(const BusinessObject& source, BusinessObject* parent) {
  BusinessObject* copy = source.duplicate();
  if (copy != nullptr) copy->setParent(parent);
  return copy;
}

// The tree operations store only fresh copies; a single child that one
// displaces was the tree's own and is released with it.
constexpr auto kRelease = BusObjAccess::Displaced::kRelease;

// Stores a copy of child into bo's slot index (appending for an array),
// releasing the single child it replaces.
void storeCopy(BusinessObject& bo, int index, const BusinessObject& child) {
  BusinessObject* copy = child.duplicate();
  if (copy != nullptr && !BusObjAccess::storeTyped(bo, index, copy, OBJECT, kRelease)) delete copy;
}

// Appends a copy of every present element of from to bo's array slot index.
void appendCopies(BusinessObject& bo, int index, const BusObjArray& from) {
  const int count = from.getObjectCount();
  for (int k = 0; k < count; ++k) {
    const BusinessObject* element = from.getObject(k);
    if (element == nullptr) continue;
    // A fresh copy cannot already be in the array: no need to look for it.
    if (BusinessObject* copy = element->duplicate())
      BusObjAccess::appendFreshChild(bo, index, copy);
  }
}

// Gives an unmatched delta element the verb "Create" unless it already has it.
void markCreate(BusinessObject& element) {
  if (!hasVerb(element, CREATE)) element.setVerb(CREATE);
}

// Appends to array a copy of an unmatched delta element, which gets "Create"
// first; the copy, or null when the element is invalid.
BusinessObject* appendCreated(BusObjArray& array, BusinessObject& element, BusinessObject* parent) {
  markCreate(element);
  BusinessObject* copy = copyWithParent(element, parent);
  if (copy != nullptr) array.addObject(copy);
  return copy;
}

// Finds, for the elements of a delta in turn, the element of an array with
// the same keys: through the array's key index while it can answer (the
// delta's keys hashed up front, since its elements are only read or given
// "Create"), by comparing keys otherwise. An index unusable at the start
// stays unused.
class DeltaMatcher {
 public:
  DeltaMatcher(const KeyIndex* index, BusinessObject* const* deltaSlots, int count)
      : index_(index) {
    if (index_ != nullptr && index_->usable()) probes_.emplace(*index_, deltaSlots, count);
  }

  // The position among slots (slotCount of them, the array's) of the element
  // matching element, the delta's element t; -1 when none does.
  int find(const BusObjArray& array, BusinessObject* const* slots, int slotCount,
           const BusinessObject* element, int t) const {
    if (!probes_ || !index_->usable()) return array.findByKeys(element);
    probes_->prefetch(t, slots, slotCount);
    return probes_->find(t, slots);
  }

 private:
  const KeyIndex* index_;
  std::optional<KeyIndex::Probes> probes_;
};

// What mergeDelta and applyDelta do alike: bo takes the verb "Update"; a
// simple value the delta sets replaces bo's, and children the delta holds are
// copied in where bo holds none. Where both hold an array of attribute i,
// combineArrays(i, theirs, mine) combines them; where both hold a single
// child, combineChildren(i, theirs, mine), each the caller's own way.
template <typename CombineArrays, typename CombineChildren>
void combineWithDelta(BusinessObject& bo, BusinessObject& delta, CombineArrays combineArrays,
                      CombineChildren combineChildren) {
  bo.setVerb(UPDATE);
  const int count = bo.getAttrCount();
  for (int i = 0; i < count; ++i) {
    const AttrSpec* attr = bo.getSpec()->getAttribute(i);
    if (!attr->isObjectType()) {
      void* value = BusObjAccess::values(delta)[i];
      if (value != nullptr) BusObjAccess::storeTyped(bo, i, value, attr->getType(), kRelease);
    } else if (attr->isMultipleCard()) {
      const BusObjArray* theirs = BusObjAccess::arrayAt(delta, i);
      if (theirs == nullptr) continue;
      BusObjArray* mine = BusObjAccess::arrayAt(bo, i);
      if (mine == nullptr) {
        appendCopies(bo, i, *theirs);
      } else {
        combineArrays(i, *theirs, *mine);
      }
    } else {
      BusinessObject* theirs = BusObjAccess::childAt(delta, i);
      if (theirs == nullptr) continue;
      BusinessObject* mine = BusObjAccess::childAt(bo, i);
      if (mine == nullptr) {
        storeCopy(bo, i, *theirs);
      } else {
        combineChildren(i, *theirs, *mine);
      }
    }
  }
}

}  // namespace

// ---- markVerb ---------------------------------------------------------------

void BusinessObject::markVerb(const char* verb) {
  setVerb(verb);
  const int count = getAttrCount();
  for (int i = 0; i < count; ++i) {
    if (BusObjArray* array = BusObjAccess::arrayAt(*this, i)) {
      array->markVerb(verb);
    } else if (BusinessObject* child = BusObjAccess::childAt(*this, i)) {
      child->markVerb(verb);
    }
  }
}

void BusObjArray::markVerb(const char* verb) {
  for (int i = 0; i < count_; ++i) {
    if (slots_[i] != nullptr) slots_[i]->markVerb(verb);
  }
}

// ---- markVerbsAgainst -------------------------------------------------------

bool BusinessObject::markVerbsAgainst(BusinessObject& old) { return markVerbsAgainst(&old); }

bool BusinessObject::markVerbsAgainst(BusinessObject* old) {
  if (old == nullptr || !keysEqual(old)) return false;
  const int count = getAttrCount();
  const AttrSpec* attrs = spec_->getAttributes();
  for (int i = 0; i < count; ++i) {
    const AttrSpec* attr = attrs + i;
    if (!attr->isObjectType()) continue;  // simple values are never compared
    if (attr->isMultipleCard()) {
      BusObjArray* mine = BusObjAccess::arrayAt(*this, i);
      const BusObjArray* theirs = BusObjAccess::arrayAt(*old, i);
      if (mine != nullptr && theirs != nullptr) {
        mine->markVerbsAgainst(theirs, this, false);
      } else if (mine != nullptr) {
        mine->markVerb(CREATE);
      } else if (theirs != nullptr) {
        appendCopies(*this, i, *theirs);
        if (BusObjArray* added = BusObjAccess::arrayAt(*this, i)) added->markVerb(DELETE);
      }
    } else {
      BusinessObject* mine = BusObjAccess::childAt(*this, i);
      BusinessObject* theirs = BusObjAccess::childAt(*old, i);
      if (mine != nullptr && theirs != nullptr) {
        mine->markVerbsAgainst(theirs);
      } else if (mine != nullptr) {
        mine->markVerb(CREATE);
      } else if (theirs != nullptr) {
        storeCopy(*this, i, *theirs);
        if (BusinessObject* added = BusObjAccess::childAt(*this, i)) added->markVerb(DELETE);
      }
    }
  }
  return true;
}

void BusObjArray::markVerbsAgainst(const BusObjArray* old, BusinessObject* parent, bool reverse) {
  const char* onlyNew = reverse ? DELETE : CREATE;
  const char* onlyOld = reverse ? CREATE : DELETE;
  // Counts are taken once: elements appended below are not visited again,
  // even when old is this very array.
  const int newCount = count_;
  const int oldCount = old != nullptr ? old->getObjectCount() : 0;
  std::vector<int> newMatch(static_cast<std::size_t>(newCount), -1);
  std::vector<int> oldMatch(static_cast<std::size_t>(oldCount), -1);
  // Old is only read (unless it is this very array), so one index serves.
  std::optional<KeyIndex> index;
  std::optional<KeyIndex::Probes> probes;
  if (old != nullptr && old != this) {
    index.emplace(old->slots_, oldCount);
    // Only this array's elements change below (verbs, replacements), so
    // their keys can be hashed before the loop.
    if (index->usable()) probes.emplace(*index, slots_, newCount);
  }

  for (int k = 0; k < newCount; ++k) {
    BusinessObject* element = getObject(k);
    if (element == nullptr) continue;
    int j = -1;
    if (probes) {
      probes->prefetch(k, old->slots_, oldCount);
      j = probes->find(k, old->slots_);
    } else if (old != nullptr) {
      j = old->findByKeys(element);
    }
    if (j < 0 || j >= oldCount) {
      element->setVerb(onlyNew);
      continue;
    }
    newMatch[static_cast<std::size_t>(k)] = j;
    oldMatch[static_cast<std::size_t>(j)] = k;
    if (!hasVerb(*element, DELETE)) element->setVerb(UPDATE);
    if (reverse) {
      // The old side's element takes the place of the new one, with its own verb.
      if (BusinessObject* copy = copyWithParent(*old->getObject(j), parent)) setObjectAt(k, copy);
    }
  }

  for (int j = 0; j < oldCount; ++j) {
    if (oldMatch[static_cast<std::size_t>(j)] >= 0) continue;
    const BusinessObject* element = old->getObject(j);
    if (element == nullptr) continue;
    if (BusinessObject* copy = copyWithParent(*element, parent)) {
      copy->setVerb(onlyOld);
      addObject(copy);
    }
  }

  for (int k = 0; k < newCount; ++k) {
    if (index) {
      // Each pair's keys are compared again below: fetch the pairs ahead.
      for (int stage = 0, ahead = k + 12; stage < 3; ++stage, ahead -= 4) {
        if (ahead >= newCount || newMatch[static_cast<std::size_t>(ahead)] < 0) continue;
        index->prefetchPair(slots_[ahead], old->slots_[newMatch[static_cast<std::size_t>(ahead)]],
                            stage);
      }
    }
    const int j = newMatch[static_cast<std::size_t>(k)];
    if (j < 0) continue;
    BusinessObject* element = getObject(k);
    BusinessObject* matched = old->getObject(j);
    if (element != nullptr && matched != nullptr) element->markVerbsAgainst(matched);
  }
}

// ---- mergeDelta -------------------------------------------------------------

int BusinessObject::mergeDelta(BusinessObject* delta) {
  if (delta == nullptr || !keysEqual(delta)) return -1;
  combineWithDelta(
      *this, *delta,
      [this](int, const BusObjArray& theirs, BusObjArray& mine) {
        if (!theirs.isDelta()) {
          mine.markVerbsAgainst(&theirs, this, true);
        } else {
          mine.mergeDelta(&theirs, this);
        }
      },
      [this](int i, BusinessObject& theirs, BusinessObject& mine) {
        if (!theirs.keysEqual(&mine) || ::hasVerb(theirs, DELETE)) {
          storeCopy(*this, i, theirs);  // releases the child it replaces
        } else if (!theirs.isDelta()) {
          BusinessObject* copy = theirs.duplicate();
          if (copy == nullptr) return;
          copy->markVerbsAgainst(&mine);
          if (!BusObjAccess::storeTyped(*this, i, copy, OBJECT, kRelease)) delete copy;
        } else {
          mine.mergeDelta(&theirs);
        }
      });
  return 0;
}

void BusObjArray::mergeDelta(const BusObjArray* delta, BusinessObject* parent) {
  if (delta == nullptr) return;
  // The index follows every change below; a delta that is this very array
  // changes under its own reading and is matched the plain way.
  std::optional<KeyIndex> index;
  const int count = delta->getObjectCount();
  if (delta != this) index.emplace(slots_, count_);
  const DeltaMatcher matcher(index ? &*index : nullptr, delta->slots_, count);
  for (int t = 0; t < count; ++t) {
    BusinessObject* element = delta->getObject(t);
    if (element == nullptr) continue;
    const int j = matcher.find(*this, slots_, count_, element, t);
    if (j < 0) {
      if (appendCreated(*this, *element, parent) != nullptr && index) {
        index->added(count_ - 1, slots_);
      }
    } else if (hasVerb(*element, DELETE)) {
      if (BusinessObject* copy = copyWithParent(*element, parent)) {
        if (index) index->replacing(copy);
        setObjectAt(j, copy);
      }
    } else if (element->isDelta()) {
      getObject(j)->mergeDelta(element);
    } else if (BusinessObject* copy = element->duplicate()) {
      copy->markVerbsAgainst(getObject(j));
      if (index) index->replacing(copy);
      setObjectAt(j, copy);
      copy->setParent(parent);
    }
  }
}

// ---- applyDelta -------------------------------------------------------------

int BusinessObject::applyDelta(BusinessObject* delta) {
  if (delta == nullptr || values_ == nullptr || delta->values_ == nullptr ||
      !BusObjAccess::sameLayout(spec_, delta->spec_)) {
    return -1;
  }
  combineWithDelta(
      *this, *delta,
      [this](int i, const BusObjArray& theirs, BusObjArray& mine) {
        if (theirs.isDelta()) {
          mine.applyDelta(&theirs, this);
        } else if (&theirs != &mine) {
          // A full image of the children replaces the retrieved ones.
          mine.removeAll();
          appendCopies(*this, i, theirs);
        }
      },
      [this](int i, BusinessObject& theirs, BusinessObject& mine) {
        if (!theirs.keysEqual(&mine) || ::hasVerb(theirs, DELETE) || !theirs.isDelta()) {
          storeCopy(*this, i, theirs);  // releases the child it replaces
        } else {
          mine.applyDelta(&theirs);
          // The same child: only its parent link is set.
          BusObjAccess::storeTyped(*this, i, &mine, OBJECT, kRelease);
        }
      });
  return 0;
}

void BusObjArray::applyDelta(const BusObjArray* delta, BusinessObject* parent) {
  if (delta == nullptr) return;
  if (delta != this) {
    applyDeltaIndexed(delta, parent);
    return;
  }
  // A delta that is this very array changes under its own reading: the
  // plain way, one step after the other.
  const int count = delta->getObjectCount();
  for (int t = 0; t < count && t < delta->getObjectCount(); ++t) {
    BusinessObject* element = delta->getObject(t);
    if (element == nullptr) continue;
    const int j = findByKeys(element);
    if (j < 0) {
      appendCreated(*this, *element, parent);
    } else if (hasVerb(*element, DELETE)) {
      removeObjectAt(j);
    } else if (element->isDelta()) {
      BusinessObject* retrieved = getObject(j);
      retrieved->applyDelta(element);
      if (BusinessObject* copy = copyWithParent(*retrieved, parent)) setObjectAt(j, copy);
    } else if (BusinessObject* copy = copyWithParent(*element, parent)) {
      setObjectAt(j, copy);
    }
  }
}

// applyDelta for a delta that is another array. Elements to remove are
// destroyed where they are found and their slots closed up once at the end,
// instead of shifting the rest of the array for every removal: the elements
// keep their order, and the array ends exactly as removing them one by one
// leaves it (same elements, same count, same capacity).
void BusObjArray::applyDeltaIndexed(const BusObjArray* delta, BusinessObject* parent) {
  KeyIndex index(slots_, count_);
  const int count = delta->getObjectCount();
  const DeltaMatcher matcher(&index, delta->slots_, count);
  std::vector<int> gone;  // positions emptied by removals, ascending order not required
  const int startCapacity = capacity_;
  int liveCount = count_;
  int mostLive = count_;
  for (int t = 0; t < count; ++t) {
    BusinessObject* element = delta->getObject(t);
    if (element == nullptr) continue;
    // Emptied slots hold null, which findByKeys skips like a removed element.
    const int j = matcher.find(*this, slots_, count_, element, t);
    if (j < 0) {
      if (appendCreated(*this, *element, parent) != nullptr) {
        index.added(count_ - 1, slots_);
        mostLive = std::max(mostLive, ++liveCount);
      }
    } else if (hasVerb(*element, DELETE)) {
      index.removing(j, slots_);
      delete slots_[j];
      slots_[j] = nullptr;
      gone.push_back(j);
      --liveCount;
    } else {
      const BusinessObject* source = element;
      if (element->isDelta()) {
        slots_[j]->applyDelta(element);
        source = slots_[j];
      }
      if (BusinessObject* copy = copyWithParent(*source, parent)) {
        index.replacing(copy);
        setObjectAt(j, copy);
      }
    }
  }
  if (!gone.empty()) {
    std::sort(gone.begin(), gone.end());
    int to = gone.front();
    std::size_t next = 0;
    for (int from = gone.front(); from < count_; ++from) {
      if (next < gone.size() && gone[next] == from) {
        ++next;
        continue;
      }
      slots_[to++] = slots_[from];
    }
    for (int k = to; k < count_; ++k) slots_[k] = nullptr;
    count_ = to;
  }
  // Removing first and appending later never needs the room that the
  // appends took here; the capacity is the one the step-by-step way reaches.
  int capacity = startCapacity;
  while (capacity < mostLive) capacity += 25;
  capacity_ = capacity;
}
