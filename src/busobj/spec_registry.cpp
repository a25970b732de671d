// The spec tables and the library's registry.
//
// Lookups happen on every business object built by type name or from text,
// on any agent thread, while the agent may still be announcing types, so a
// lookup takes no lock and allocates nothing: it loads the published slot
// table with one acquire load and probes it.
//
// The slot table is open addressing with linear probing, at most half used,
// so every probe run ends at an empty slot. Writers serialise on a mutex and
// change the published table in place only in ways a concurrent reader can
// tolerate:
//   - a new entry is written into an empty slot by storing the spec first and
//     then the key with release order, so a reader that sees the key also
//     sees the spec;
//   - the spec of an entry is replaced with one release store;
//   - removing an entry stores the "absent" marker as its spec; the slot keeps
//     its key, so adding the name again takes the same slot back.
// A slot's key never changes once published, and a name once added keeps its
// slot: the table holds every name it was ever given, present or absent. When
// new names would make it more than half used, a table of four times the names
// is built with all of them, published with a release store, and the old one
// retired.
//
// Retired tables and key records are freed only when the table object dies
// (a reader may still be probing them). Both are bounded by the distinct
// names ever added: one key record per name, and tables that grow only with
// new names, each at least twice the one before, so the retired ones together
// stay smaller than the live one. Removing and adding names the table has
// seen before, as a connector re-announcing its types does, allocates nothing.
//
// Absent names may come to outnumber present ones by far, so iteration does
// not scan the slots: writers keep the present entries in a list threaded
// through their slots, in the order they became present, and iteration walks
// it in time proportional to the present entries.
#include "hbconnector/spec_registry.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/version.hpp"

namespace {

// A published name.
struct Key {
  std::size_t hash;
  std::string_view text;  // owned by the table
};

// Slot indices of the list below; a table never nears 2^32 slots.
using SlotIndex = std::uint32_t;
constexpr SlotIndex kNoSlot = UINT32_MAX;

struct Slot {
  std::atomic<const Key*> key{nullptr};
  std::atomic<BusObjSpec*> spec{nullptr};
  // The list of present entries, for writers and iteration only (mutex held);
  // readers never touch it.
  SlotIndex prev = kNoSlot;
  SlotIndex next = kNoSlot;
};

// The spec of a slot whose entry was removed: an address no spec can have,
// never dereferenced. (A null spec is a present entry: raw insertions may
// store one.)
constexpr char kAbsentMark = 0;
BusObjSpec* absent() {
  return const_cast<BusObjSpec*>(reinterpret_cast<const BusObjSpec*>(&kAbsentMark));
}

constexpr std::size_t kMinSlots = 16;

std::size_t hashName(std::string_view name) { return std::hash<std::string_view>{}(name); }

struct SlotTable {
  explicit SlotTable(std::size_t slotCount) : mask(slotCount - 1), slots(new Slot[slotCount]) {}

  std::size_t capacity() const { return mask + 1; }
  SlotIndex indexOf(const Slot* slot) const { return static_cast<SlotIndex>(slot - slots.get()); }

  // Appends slot i to the list of present entries (mutex held).
  void link(SlotIndex i) {
    slots[i].prev = tail;
    slots[i].next = kNoSlot;
    (tail != kNoSlot ? slots[tail].next : head) = i;
    tail = i;
  }
  // Takes slot i out of the list of present entries (mutex held).
  void unlink(SlotIndex i) {
    (slots[i].prev != kNoSlot ? slots[slots[i].prev].next : head) = slots[i].next;
    (slots[i].next != kNoSlot ? slots[slots[i].next].prev : tail) = slots[i].prev;
  }

  const std::size_t mask;
  const std::unique_ptr<Slot[]> slots;
  std::atomic<std::size_t> live{0};  // present entries
  // Writers only (mutex held):
  std::size_t used = 0;  // slots with a key, present or absent
  SlotIndex head = kNoSlot, tail = kNoSlot;  // the list of present entries
};

// The slot of name in table, present or absent, or null.
Slot* probe(const SlotTable& table, std::string_view name, std::size_t hash) {
  for (std::size_t i = hash & table.mask;; i = (i + 1) & table.mask) {
    Slot& slot = table.slots[i];
    const Key* key = slot.key.load(std::memory_order_acquire);
    if (key == nullptr) return nullptr;
    if (key->hash == hash && key->text == name) return &slot;
  }
}

}  // namespace

struct BusObjSpecTable::Table {
  Table() { current.store(makeTable(kMinSlots), std::memory_order_release); }

  SlotTable* makeTable(std::size_t slotCount) {
    tables.push_back(std::make_unique<SlotTable>(slotCount));
    return tables.back().get();
  }

  // Readers.
  BusObjSpec* find(std::string_view name) const {
    const SlotTable* table = current.load(std::memory_order_acquire);
    const Slot* slot = probe(*table, name, hashName(name));
    if (slot == nullptr) return nullptr;
    BusObjSpec* spec = slot->spec.load(std::memory_order_acquire);
    return spec != absent() ? spec : nullptr;
  }

  // Writers (mutex held).
  void insertLocked(std::string_view name, BusObjSpec* spec) {
    SlotTable* table = current.load(std::memory_order_relaxed);
    const std::size_t hash = hashName(name);
    if (Slot* slot = probe(*table, name, hash)) {
      if (slot->spec.exchange(spec, std::memory_order_acq_rel) == absent()) {
        table->live.fetch_add(1, std::memory_order_relaxed);
        table->link(table->indexOf(slot));
      }
      return;
    }
    if ((table->used + 1) * 2 > table->capacity()) table = rebuildLocked(table->used + 1);
    Slot* slot = emptySlotFor(*table, hash);
    ++table->used;
    slot->spec.store(spec, std::memory_order_relaxed);
    slot->key.store(makeKey(name, hash), std::memory_order_release);
    table->live.fetch_add(1, std::memory_order_relaxed);
    table->link(table->indexOf(slot));
  }

  bool removeLocked(std::string_view name) {
    SlotTable* table = current.load(std::memory_order_relaxed);
    Slot* slot = probe(*table, name, hashName(name));
    if (slot == nullptr || slot->spec.load(std::memory_order_relaxed) == absent()) return false;
    slot->spec.store(absent(), std::memory_order_release);
    table->live.fetch_sub(1, std::memory_order_relaxed);
    table->unlink(table->indexOf(slot));
    return true;
  }

  // Publishes a fresh table with room for `names` names, holding every name
  // of the current one, present or absent, the present ones in their order.
  SlotTable* rebuildLocked(std::size_t names) {
    std::size_t slotCount = kMinSlots;
    while (slotCount < names * 4) slotCount *= 2;
    const SlotTable* old = current.load(std::memory_order_relaxed);
    SlotTable* table = makeTable(slotCount);
    const auto move = [&](const Slot& from) {
      const Key* key = from.key.load(std::memory_order_relaxed);
      Slot* slot = emptySlotFor(*table, key->hash);
      slot->spec.store(from.spec.load(std::memory_order_relaxed), std::memory_order_relaxed);
      slot->key.store(key, std::memory_order_relaxed);
      ++table->used;
      return table->indexOf(slot);
    };
    for (SlotIndex i = old->head; i != kNoSlot; i = old->slots[i].next) {
      table->link(move(old->slots[i]));
    }
    for (std::size_t i = 0; i < old->capacity(); ++i) {
      const Slot& from = old->slots[i];
      if (from.key.load(std::memory_order_relaxed) != nullptr &&
          from.spec.load(std::memory_order_relaxed) == absent()) {
        move(from);
      }
    }
    table->live.store(old->live.load(std::memory_order_relaxed), std::memory_order_relaxed);
    current.store(table, std::memory_order_release);
    return table;
  }

  // Replaces every entry (mutex held).
  void assignLocked(const std::vector<std::pair<std::string, BusObjSpec*>>& entries) {
    SlotTable* table = current.load(std::memory_order_relaxed);
    for (SlotIndex i = table->head; i != kNoSlot; i = table->slots[i].next) {
      table->slots[i].spec.store(absent(), std::memory_order_release);
    }
    table->head = table->tail = kNoSlot;
    table->live.store(0, std::memory_order_relaxed);
    for (const auto& [name, spec] : entries) insertLocked(name, spec);
  }

  static Slot* emptySlotFor(const SlotTable& table, std::size_t hash) {
    for (std::size_t i = hash & table.mask;; i = (i + 1) & table.mask) {
      if (table.slots[i].key.load(std::memory_order_relaxed) == nullptr) return &table.slots[i];
    }
  }

  const Key* makeKey(std::string_view name, std::size_t hash) {
    texts.push_back(std::make_unique<char[]>(name.size() + 1));
    char* text = texts.back().get();
    std::memcpy(text, name.data(), name.size());
    keys.push_back(std::make_unique<Key>(Key{hash, std::string_view(text, name.size())}));
    return keys.back().get();
  }

  // The present entries of the published table, in their order.
  template <typename F>
  void forEachLocked(F&& f) const {  // f(std::string_view name, BusObjSpec* spec)
    const SlotTable* table = current.load(std::memory_order_relaxed);
    for (SlotIndex i = table->head; i != kNoSlot; i = table->slots[i].next) {
      f(table->slots[i].key.load(std::memory_order_relaxed)->text,
        table->slots[i].spec.load(std::memory_order_relaxed));
    }
  }

  // Hands out the cursor's entry and steps it to the next one of its table's
  // list. A table retired meanwhile keeps its list as it was; an entry removed
  // meanwhile (which the caller should not do) is stepped over, not handed out,
  // and the steps are bounded, as stale links of removed entries could circle.
  bool advanceCursorLocked(String* name, BusObjSpec** spec) {
    if (cursorTable == nullptr) return false;
    for (std::size_t steps = 0; cursorSlot != kNoSlot && steps < cursorTable->capacity(); ++steps) {
      const Slot& slot = cursorTable->slots[cursorSlot];
      cursorSlot = slot.next;
      BusObjSpec* held = slot.spec.load(std::memory_order_relaxed);
      if (held == absent()) continue;
      const Key* key = slot.key.load(std::memory_order_relaxed);
      if (name != nullptr) *name = String(key->text.data(), key->text.size());
      if (spec != nullptr) *spec = held;
      return true;
    }
    cursorSlot = kNoSlot;
    return false;
  }

  std::atomic<SlotTable*> current{nullptr};
  mutable std::mutex mutex;                        // writers, iteration
  std::vector<std::unique_ptr<SlotTable>> tables;  // published and retired
  std::vector<std::unique_ptr<Key>> keys;          // one per name ever added
  std::vector<std::unique_ptr<char[]>> texts;      // their names
  const SlotTable* cursorTable = nullptr;
  SlotIndex cursorSlot = kNoSlot;  // the next entry the cursor hands out
};

namespace {

std::string_view viewOf(const char* name) { return std::string_view(name); }

}  // namespace

BusObjSpecTable::BusObjSpecTable() : table_(std::make_unique<Table>()) {}

BusObjSpecTable::~BusObjSpecTable() = default;

void BusObjSpecTable::addSpec(BusObjSpec* spec) {
  if (spec == nullptr || spec->getName() == nullptr) return;
  std::lock_guard<std::mutex> lock(table_->mutex);
  table_->insertLocked(viewOf(spec->getName()), spec);
}

BusObjSpec* BusObjSpecTable::addSpecIfAbsent(BusObjSpec* spec) {
  if (spec == nullptr || spec->getName() == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(table_->mutex);
  if (BusObjSpec* present = table_->find(viewOf(spec->getName()))) return present;
  table_->insertLocked(viewOf(spec->getName()), spec);
  return spec;
}

BusObjSpec* BusObjSpecTable::findSpec(const char* name) const {
  return name != nullptr ? table_->find(viewOf(name)) : nullptr;
}

BusObjSpec* BusObjSpecTable::findSpec(const char* name, const char*) const {
  return findSpec(name);
}

BusObjSpec* BusObjSpecTable::findSpec(const char* name, const Version&) const {
  return findSpec(name);
}

void BusObjSpecTable::removeSpec(const char* name, const char*) {
  if (name == nullptr) return;
  std::lock_guard<std::mutex> lock(table_->mutex);
  table_->removeLocked(viewOf(name));
}

void BusObjSpecTable::removeSpec(const char* name, const Version&) {
  removeSpec(name, static_cast<const char*>(nullptr));
}

void BusObjSpecTable::replaceSpec(BusObjSpec* oldSpec, BusObjSpec* newSpec) {
  std::lock_guard<std::mutex> lock(table_->mutex);
  if (oldSpec != nullptr && oldSpec->getName() != nullptr) {
    table_->removeLocked(viewOf(oldSpec->getName()));
  }
  if (newSpec != nullptr && newSpec->getName() != nullptr) {
    table_->insertLocked(viewOf(newSpec->getName()), newSpec);
  }
}

void BusObjSpecTable::insertKeyAndValue(const String& name, BusObjSpec* spec) {
  std::lock_guard<std::mutex> lock(table_->mutex);
  table_->insertLocked(name.view(), spec);
}

BusObjSpec* BusObjSpecTable::findValue(const String& name) const {
  return table_->find(name.view());
}

bool BusObjSpecTable::remove(const String& name) {
  std::lock_guard<std::mutex> lock(table_->mutex);
  return table_->removeLocked(name.view());
}

int BusObjSpecTable::entries() const {
  return static_cast<int>(
      table_->current.load(std::memory_order_acquire)->live.load(std::memory_order_relaxed));
}

bool BusObjSpecTable::first(String* name, BusObjSpec** spec) const {
  std::lock_guard<std::mutex> lock(table_->mutex);
  table_->cursorTable = table_->current.load(std::memory_order_relaxed);
  table_->cursorSlot = table_->cursorTable->head;
  return table_->advanceCursorLocked(name, spec);
}

bool BusObjSpecTable::next(String* name, BusObjSpec** spec) const {
  std::lock_guard<std::mutex> lock(table_->mutex);
  return table_->advanceCursorLocked(name, spec);
}

HashedDictionary* BusObjSpecTable::snapshot() const {
  auto* dictionary = new HashedDictionary();
  std::lock_guard<std::mutex> lock(table_->mutex);
  table_->forEachLocked([&](std::string_view name, BusObjSpec* spec) {
    dictionary->insertKeyAndValue(new NameItem(String(name.data(), name.size())), spec);
  });
  return dictionary;
}

void BusObjSpecTable::assign(const HashedDictionary& dictionary) {
  std::vector<std::pair<std::string, BusObjSpec*>> entries;
  dictionary.forEach([&](const HashedItem& key, void* value) {
    // Only name keys can be looked up by name; other keys are skipped.
    if (const auto* name = dynamic_cast<const NameKey*>(&key)) {
      entries.emplace_back(std::string(name->name()), static_cast<BusObjSpec*>(value));
    }
  });
  std::lock_guard<std::mutex> lock(table_->mutex);
  table_->assignLocked(entries);
}

// ---- the registry -----------------------------------------------------------

BusObjSpecRegistry::BusObjSpecRegistry() = default;

BusObjSpecRegistry::~BusObjSpecRegistry() {
  // A spec may sit under more than one key (raw insertions); each is destroyed once.
  std::vector<BusObjSpec*> specs;
  std::unordered_set<BusObjSpec*> seen;
  {
    std::lock_guard<std::mutex> lock(table_->mutex);
    table_->forEachLocked([&](std::string_view, BusObjSpec* spec) {
      if (spec != nullptr && seen.insert(spec).second) specs.push_back(spec);
    });
    table_->assignLocked({});
  }
  for (BusObjSpec* spec : specs) delete spec;
}

BusObjSpecRegistry* BusObjSpecRegistry::getInstance() {
  // Never destroyed: agent threads may still look specs up while the process exits.
  static BusObjSpecRegistry* const instance = new BusObjSpecRegistry();
  return instance;
}

void BusObjSpecRegistry::replaceRegistry(const HashedDictionary& dictionary) {
  getInstance()->assign(dictionary);
}
