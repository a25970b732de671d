// BusObjArray: storage of the children of a cardinality-"n" attribute.
#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>

#include "busobj/busobj_access.hpp"
#include "hbconnector/business_object.hpp"

namespace {

// Storage grows in steps of this many slots, which keeps reallocation rare
// for the small arrays exchanged with the agent.
constexpr int kGrowth = 25;

BusinessObject** newSlots(std::size_t count) { return new BusinessObject*[count](); }

// The slots allocated for a capacity. The capacity grows by 25 (and is what
// getCapacity reports), but the storage behind it doubles, so appending n
// elements moves O(n) pointers instead of O(n^2 / 25). It is a function of
// the capacity alone, so no other state is needed to know it.
std::size_t allocatedFor(int capacity) {
  if (capacity <= kGrowth) return kGrowth;
  return std::bit_ceil(static_cast<std::uint64_t>(capacity));
}

}  // namespace

BusObjArray::BusObjArray(BusObjSpec* spec)
    : capacity_(kGrowth), slots_(newSlots(kGrowth)), spec_(spec) {}

BusObjArray::~BusObjArray() {
  for (int i = 0; i < count_; ++i) delete slots_[i];
  delete[] slots_;
}

void BusObjArray::removeAll() {
  for (int i = 0; i < count_; ++i) delete slots_[i];
  delete[] slots_;
  slots_ = newSlots(kGrowth);
  capacity_ = kGrowth;
  count_ = 0;
}

void BusObjArray::ensureCapacity(int needed) {
  if (needed <= capacity_) return;
  int capacity = capacity_;
  while (capacity < needed) capacity += kGrowth;
  if (allocatedFor(capacity) > allocatedFor(capacity_)) {
    BusinessObject** slots = newSlots(allocatedFor(capacity));
    std::copy(slots_, slots_ + count_, slots);
    delete[] slots_;
    slots_ = slots;
  }
  capacity_ = capacity;
}

void BusObjArray::addObject(BusinessObject* object) {
  if (object == nullptr) return;
  ensureCapacity(count_ + 1);
  slots_[count_++] = object;
}

int BusObjArray::insertObjectAt(int index, BusinessObject* object) {
  if (index < 0 || index > count_) return -1;
  ensureCapacity(count_ + 1);
  std::copy_backward(slots_ + index, slots_ + count_, slots_ + count_ + 1);
  slots_[index] = object;
  ++count_;
  return 0;
}

BusinessObject* BusObjArray::setObjectAt(int index, BusinessObject* object) {
  // The growth below must not overflow the count.
  if (index < 0 || index > INT_MAX - kGrowth) return nullptr;
  if (index < count_) {
    // Storing the element that is already there must not destroy it.
    if (slots_[index] != object) delete slots_[index];
    slots_[index] = object;
    return object;
  }
  ensureCapacity(index + 1);
  slots_[index] = object;  // the slots between the old count and index are null
  count_ = index + 1;
  return object;
}

int BusObjArray::removeObjectAt(int index) {
  if (index < 0 || index >= count_) return -1;
  delete slots_[index];
  std::copy(slots_ + index + 1, slots_ + count_, slots_ + index);
  slots_[--count_] = nullptr;
  return 0;
}

BusinessObject* BusObjArray::getObject(int index) const {
  return (index >= 0 && index < count_) ? slots_[index] : nullptr;
}

int BusObjArray::findByKeys(const BusinessObject* object) const {
  if (object == nullptr) return -1;
  for (int i = 0; i < count_; ++i) {
    if (slots_[i] != nullptr && slots_[i]->keysEqual(object)) return i;
  }
  return -1;
}

int BusObjArray::compare(const BusObjArray* other) const {
  if (other == nullptr || other->count_ != count_) return -1;
  // Positions matter here, keys do not.
  for (int i = 0; i < count_; ++i) {
    const BusinessObject* theirs = other->slots_[i];
    const BusinessObject* mine = slots_[i];
    if (theirs != nullptr) {
      if (mine == nullptr || theirs->compare(mine) != 0) return -1;
    } else if (mine != nullptr) {
      return -1;
    }
  }
  return 0;
}
