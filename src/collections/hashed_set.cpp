#include <bit>
#include <cstdint>

#include "collections/assert.hpp"
#include "hbconnector/collections.hpp"

namespace {

// 2^32 divided by the golden ratio: multiplying by it spreads consecutive
// hash values evenly over the top bits.
constexpr std::uint32_t kFibonacciMultiplier = 0x9E3779B9u;

// Largest table exponent: slots are chosen from the top bits of a 32-bit
// product, and a table of 2^31 pointers is already far beyond any real use.
constexpr unsigned kMaxBits = 31;

}  // namespace

HashedItem::~HashedItem() = default;

std::uint32_t NameKey::hash() const {
  const std::string_view text = name();
  return String::hashOf(text.data(), text.size());
}

bool NameKey::isEqual(const HashedItem& other) const {
  // An item of another kind never equals a name, even if its hash collides.
  const auto* otherName = dynamic_cast<const NameKey*>(&other);
  return otherName != nullptr && otherName->name() == name();
}

std::uint32_t IdentityItem::hash() const {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer_) >> 2);
}

bool IdentityItem::isEqual(const HashedItem& other) const {
  const auto* otherIdentity = dynamic_cast<const IdentityItem*>(&other);
  return otherIdentity != nullptr && otherIdentity->pointer_ == pointer_;
}

HashedSet::HashedSet(std::size_t sizeHint) {
  const std::size_t hint = sizeHint == 0 ? 1 : sizeHint;
  unsigned bits = static_cast<unsigned>(std::bit_width(hint));
  if (!std::has_single_bit(hint)) ++bits;
  HB_ASSERT(bits <= kMaxBits);
  bits_ = bits;
  mask_ = (std::size_t{1} << bits_) - 1;
  slots_ = new HashedItem*[mask_ + 1]();
}

HashedSet::~HashedSet() { delete[] slots_; }

std::size_t HashedSet::homeSlot(std::uint32_t hash) const {
  const std::uint32_t product = hash * kFibonacciMultiplier;
  return product >> (32 - bits_);
}

// The slot holding an item equal to probe, or the empty slot where the
// downward search for it stopped. The table is never full (growth keeps it at
// most half full), so the search always ends.
std::size_t HashedSet::findSlot(const HashedItem& probe) const {
  std::size_t slot = homeSlot(probe.hash());
  while (slots_[slot] != nullptr && !probe.isEqual(*slots_[slot])) {
    slot = (slot - 1) & mask_;
  }
  return slot;
}

HashedItem* HashedSet::insert(HashedItem* item) {
  HB_ASSERT(item != nullptr);
  std::size_t slot = findSlot(*item);
  if (slots_[slot] != nullptr) return slots_[slot];
  if (count_ + 1 > (mask_ + 1) / 2) {
    // Growing before storing keeps the set unchanged if the larger table
    // cannot be allocated; the new item simply goes in last.
    grow();
    slot = emptySlotFor(*item);
  }
  slots_[slot] = item;
  ++count_;
  if (slot < lowestUsed_) lowestUsed_ = slot;
  return item;
}

// The first empty slot at or below the item's home slot, for an item known
// not to be in the set.
std::size_t HashedSet::emptySlotFor(const HashedItem& item) const {
  std::size_t slot = homeSlot(item.hash());
  while (slots_[slot] != nullptr) slot = (slot - 1) & mask_;
  return slot;
}

void HashedSet::grow() {
  HB_ASSERT(bits_ < kMaxBits);
  const unsigned newBits = bits_ + 1;
  const std::size_t newMask = (std::size_t{1} << newBits) - 1;
  // Allocate before changing anything, so that a failed allocation leaves
  // the set as it was.
  HashedItem** newSlots = new HashedItem*[newMask + 1]();
  HashedItem** oldSlots = slots_;
  const std::size_t oldCount = mask_ + 1;
  slots_ = newSlots;
  bits_ = newBits;
  mask_ = newMask;
  // Every item is distinct, so re-insertion needs no equality tests.
  for (std::size_t i = 0; i < oldCount; ++i) {
    if (oldSlots[i] != nullptr) slots_[emptySlotFor(*oldSlots[i])] = oldSlots[i];
  }
  delete[] oldSlots;
  lowestUsed_ = 0;
}

HashedItem* HashedSet::find(const HashedItem& probe) const { return slots_[findSlot(probe)]; }

HashedItem* HashedSet::remove(const HashedItem& probe) {
  const std::size_t slot = findSlot(probe);
  return slots_[slot] == nullptr ? nullptr : removeAt(slot);
}

HashedItem* HashedSet::removeAt(std::size_t hole) {
  HashedItem* removed = slots_[hole];
  slots_[hole] = nullptr;
  // Backward-shift deletion: walk the rest of the run downward and move up
  // into the hole every item whose search path from its home slot passes
  // through the hole; an item whose path does not reach the hole stays, or
  // it could no longer be found. Items only ever move into slots that were
  // occupied before, so lowestUsed_ stays a valid bound.
  for (std::size_t slot = (hole - 1) & mask_; slots_[slot] != nullptr; slot = (slot - 1) & mask_) {
    const std::size_t home = homeSlot(slots_[slot]->hash());
    const std::size_t holeDistance = (home - hole) & mask_;
    const std::size_t itemDistance = (home - slot) & mask_;
    if (holeDistance < itemDistance) {
      slots_[hole] = slots_[slot];
      slots_[slot] = nullptr;
      hole = slot;
    }
  }
  --count_;
  return removed;
}

void HashedSet::clear() {
  for (std::size_t i = lowestUsed_; i <= mask_; ++i) slots_[i] = nullptr;
  count_ = 0;
  lowestUsed_ = 0;
}

void HashedSet::clearAndDestroy() {
  for (std::size_t i = lowestUsed_; i <= mask_; ++i) {
    delete slots_[i];
    slots_[i] = nullptr;
  }
  count_ = 0;
  lowestUsed_ = 0;
}

void HashedSet::insertAll(const HashedSet& other) {
  if (&other == this) return;
  other.forEach([this](HashedItem* item) { insert(item); });
}

void HashedSet::removeAll(const HashedSet& other) {
  if (&other == this) {
    clear();
    return;
  }
  other.forEach([this](HashedItem* item) { remove(*item); });
}

bool HashedSet::isEqual(const HashedSet& other) const {
  if (count_ != other.count_) return false;
  for (std::size_t i = lowestUsed_; i <= mask_; ++i) {
    if (slots_[i] != nullptr && !other.contains(*slots_[i])) return false;
  }
  return true;
}

HashedItem* HashedSet::first() const {
  cursor_ = lowestUsed_;
  HashedItem* item = next();
  // The first item found is the lowest occupied slot: remember it, so that
  // "take the first item and remove it" loops do not rescan empty slots.
  if (item != nullptr) lowestUsed_ = cursor_ - 1;
  return item;
}

HashedItem* HashedSet::next() const {
  while (cursor_ <= mask_) {
    HashedItem* item = slots_[cursor_++];
    if (item != nullptr) return item;
  }
  return nullptr;
}

HashedItem* HashedSet::removeFirst() {
  if (count_ == 0) return nullptr;
  std::size_t slot = lowestUsed_;
  while (slots_[slot] == nullptr) ++slot;
  lowestUsed_ = slot;
  return removeAt(slot);
}
