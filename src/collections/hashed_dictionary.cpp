#include <memory>

#include "collections/assert.hpp"
#include "hbconnector/collections.hpp"

std::uint32_t HashedDictionary::Entry::hash() const { return key->hash(); }

bool HashedDictionary::Entry::isEqual(const HashedItem& other) const {
  return key->isEqual(*static_cast<const Entry&>(other).key);
}

namespace {

// Frees an entry removed from the set together with the key it owns.
template <typename EntryT>
void destroyEntry(EntryT* entry) {
  delete entry->key;
  delete entry;
}

}  // namespace

HashedDictionary::HashedDictionary(std::size_t sizeHint) : set_(sizeHint) {}

HashedDictionary::~HashedDictionary() { clear(); }

void HashedDictionary::insertKeyAndValue(HashedItem* key, void* value) {
  HB_ASSERT(key != nullptr);
  // The dictionary owns key from here on, whatever happens below.
  std::unique_ptr<HashedItem> offered(key);
  Entry probe;
  probe.key = key;
  probe.value = nullptr;
  if (auto* stored = static_cast<Entry*>(set_.find(probe))) {
    stored->value = value;
    // Offering the very key that is stored must not free it.
    if (stored->key == key) offered.release();
    return;
  }
  auto entry = std::make_unique<Entry>();
  entry->key = key;
  entry->value = value;
  set_.insert(entry.get());
  entry.release();
  offered.release();
}

void* HashedDictionary::findValue(const HashedItem& key) const {
  void* value = nullptr;
  findKeyAndValue(key, nullptr, &value);
  return value;
}

bool HashedDictionary::findKeyAndValue(const HashedItem& key, const HashedItem** storedKey,
                                       void** value) const {
  Entry probe;
  // The probe only reads the key; Entry's field is non-const because stored
  // entries own theirs.
  probe.key = const_cast<HashedItem*>(&key);
  probe.value = nullptr;
  const auto* stored = static_cast<const Entry*>(set_.find(probe));
  if (stored == nullptr) return false;
  if (storedKey != nullptr) *storedKey = stored->key;
  if (value != nullptr) *value = stored->value;
  return true;
}

bool HashedDictionary::contains(const HashedItem& key) const {
  return findKeyAndValue(key, nullptr, nullptr);
}

bool HashedDictionary::remove(const HashedItem& key, void** value) {
  Entry probe;
  probe.key = const_cast<HashedItem*>(&key);
  probe.value = nullptr;
  auto* removed = static_cast<Entry*>(set_.remove(probe));
  if (removed == nullptr) return false;
  if (value != nullptr) *value = removed->value;
  destroyEntry(removed);
  return true;
}

std::size_t HashedDictionary::entries() const { return set_.entries(); }

std::size_t HashedDictionary::slotCount() const { return set_.slotCount(); }

void HashedDictionary::clear() {
  while (auto* entry = static_cast<Entry*>(set_.removeFirst())) destroyEntry(entry);
}

bool HashedDictionary::first(const HashedItem** key, void** value) const {
  const auto* entry = static_cast<const Entry*>(set_.first());
  if (entry == nullptr) return false;
  if (key != nullptr) *key = entry->key;
  if (value != nullptr) *value = entry->value;
  return true;
}

bool HashedDictionary::next(const HashedItem** key, void** value) const {
  const auto* entry = static_cast<const Entry*>(set_.next());
  if (entry == nullptr) return false;
  if (key != nullptr) *key = entry->key;
  if (value != nullptr) *value = entry->value;
  return true;
}
