// Hashed containers and a reference-counted string.
//
// The business object model and the runtime keep their tables (spec registry,
// verb records, subscriptions, performance monitors) in these containers.
//
// HashedSet is an open-addressing table of HashedItem pointers:
//   - the table has 2^b slots, b = significant bits of the size hint, plus one
//     when the hint is not a power of two (hint 64 -> 128 slots, 5 or 8 -> 16);
//   - an item's home slot is the top b bits of hash * 0x9E3779B9 (mod 2^32);
//   - collisions probe downward (slot - 1), wrapping from 0 to the last slot;
//   - insert never replaces an equal item: the item already stored is returned
//     and the caller keeps (and deletes) its own;
//   - when the count exceeds half the slots the table doubles;
//   - removal shifts the rest of the probe run back (no tombstones), so every
//     remaining item stays findable;
//   - iteration visits slots in ascending order, which follows the hash values,
//     not the order of insertion.
// How this differs from std::unordered_set: the container stores raw item
// pointers and never owns them unless clearAndDestroy() is called; iteration
// order is the slot order above; any insert or remove may move items between
// slots, so an iteration must not be interleaved with changes (use
// removeFirst() to drain a set while visiting each item exactly once).
//
// Containers have no locks; their owner serialises access.
//
// Example:
//   HashedDictionary table;                       // 128 slots
//   table.insertKeyAndValue(new NameItem("Customer"), spec);
//   void* found = table.findValue(NameView("Customer"));
#ifndef HBCONNECTOR_COLLECTIONS_HPP_
#define HBCONNECTOR_COLLECTIONS_HPP_

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string_view>

#include "hbconnector/export.hpp"

// A reference-counted byte string. Copies share one representation (count,
// length, zero-terminated bytes); every changing operation first takes a
// private copy when the representation is shared. All empty strings share one
// static representation. Strings may be used from several threads as long as
// no two threads use the same String object while one of them changes it.
class HB_EXPORT String {
 public:
  String() noexcept;
  String(const char* text);  // NOLINT: implicit on purpose; null gives the empty string
  String(const char* data, std::size_t length);
  explicit String(std::string_view text);
  explicit String(char c);
  String(const String& other) noexcept;
  String(String&& other) noexcept;
  String& operator=(const String& other) noexcept;
  String& operator=(String&& other) noexcept;
  String& operator=(const char* text);
  ~String();

  // The bytes, always zero-terminated; valid until this String changes or dies.
  const char* data() const noexcept;
  const char* c_str() const noexcept { return data(); }
  std::size_t length() const noexcept;
  bool isEmpty() const noexcept { return length() == 0; }
  std::string_view view() const noexcept { return {data(), length()}; }

  // Character access with a bounds check (an index past the end is a
  // programming error and stops the process).
  char at(std::size_t index) const;
  char operator[](std::size_t index) const { return at(index); }

  // The string hash: the length, XORed with every complete 4-byte group read
  // as a little-endian 32-bit number, then with the 1 to 3 remaining bytes
  // zero-padded the same way. hashOf("abcde") == 0x64636201.
  std::uint32_t hash() const noexcept;
  static std::uint32_t hashOf(const char* data, std::size_t length) noexcept;

  // Byte-wise comparison over the shorter length; when equal there, the
  // shorter string is smaller. Result <0, 0, >0.
  int compareTo(const String& other) const noexcept;
  // The same ignoring ASCII letter case.
  int compareToIgnoreCase(const String& other) const noexcept;

  friend bool operator==(const String& a, const String& b) noexcept { return a.compareTo(b) == 0; }
  friend bool operator<(const String& a, const String& b) noexcept { return a.compareTo(b) < 0; }

  // Concatenation gives a new string; append changes this one in place.
  String operator+(const String& other) const;
  String operator+(const char* text) const;
  String operator+(char c) const;
  String& append(const String& other);
  String& append(const char* text);
  String& append(const char* data, std::size_t length);
  String& append(char c);
  String& operator+=(const String& other) { return append(other); }
  String& operator+=(const char* text) { return append(text); }
  String& operator+=(char c) { return append(c); }

  // ASCII case conversion, giving new strings.
  String toUpper() const;
  String toLower() const;

  // Reads one line (without its end-of-line character) from the stream in
  // pieces of at most 512 bytes. Returns false at end of input with nothing read.
  bool readLine(std::istream& in);

  // Number of String handles sharing this representation (1 when unshared;
  // the shared empty representation reports 0). For tests and diagnostics.
  long useCount() const noexcept;

 private:
  struct Rep;
  explicit String(Rep* rep) noexcept : rep_(rep) {}
  Rep* rep_;
};

// An element of a hashed container: a hash and an equality. Items are owned by
// whoever inserted them unless a container operation says otherwise.
class HB_EXPORT HashedItem {
 public:
  virtual ~HashedItem();
  virtual std::uint32_t hash() const = 0;
  virtual bool isEqual(const HashedItem& other) const = 0;
};

// Items keyed by a name: hash is String::hashOf(name), equality is byte-for-byte
// (case-sensitive) comparison of the names. A NameKey never equals an item of
// another kind.
class HB_EXPORT NameKey : public HashedItem {
 public:
  virtual std::string_view name() const = 0;
  std::uint32_t hash() const override;
  bool isEqual(const HashedItem& other) const override;
};

// A name entry that owns its String.
class HB_EXPORT NameItem : public NameKey {
 public:
  explicit NameItem(const String& name) : name_(name) {}
  explicit NameItem(const char* name) : name_(name) {}
  std::string_view name() const override { return name_.view(); }
  const String& getString() const { return name_; }

 private:
  String name_;
};

// A name that refers to text owned elsewhere: for lookups without allocating.
class HB_EXPORT NameView : public NameKey {
 public:
  explicit NameView(std::string_view name) : name_(name) {}
  explicit NameView(const char* name) : name_(name ? std::string_view(name) : std::string_view()) {}
  std::string_view name() const override { return name_; }

 private:
  std::string_view name_;
};

// An identity entry: a pointer compared by address; hash is the address
// shifted right by 2 (low 32 bits). Never equal to an item of another kind.
class HB_EXPORT IdentityItem : public HashedItem {
 public:
  explicit IdentityItem(void* pointer) : pointer_(pointer) {}
  void* get() const { return pointer_; }
  std::uint32_t hash() const override;
  bool isEqual(const HashedItem& other) const override;

 private:
  void* pointer_;
};

// Open-addressing hashed set of item pointers (see the file comment).
class HB_EXPORT HashedSet {
 public:
  static constexpr std::size_t kDefaultSizeHint = 64;

  explicit HashedSet(std::size_t sizeHint = kDefaultSizeHint);
  HashedSet(const HashedSet&) = delete;
  HashedSet& operator=(const HashedSet&) = delete;
  // Forgets the items; does not destroy them.
  virtual ~HashedSet();

  // Stores item unless an equal item is present. Returns the item now stored
  // under that key: `item` itself, or the equal item that was already there.
  HashedItem* insert(HashedItem* item);
  // The stored item equal to probe, or null.
  HashedItem* find(const HashedItem& probe) const;
  bool contains(const HashedItem& probe) const { return find(probe) != nullptr; }
  // Removes and returns the stored item equal to probe, or null when absent.
  HashedItem* remove(const HashedItem& probe);

  std::size_t entries() const { return count_; }
  bool isEmpty() const { return count_ == 0; }
  // Number of slots (a power of two).
  std::size_t slotCount() const { return std::size_t{1} << bits_; }

  // Forgets every item.
  void clear();
  // Destroys every item, then forgets them.
  void clearAndDestroy();
  // Inserts every item of other (items are shared, not copied).
  void insertAll(const HashedSet& other);
  // Removes every item equal to one of other's (removed items are not destroyed).
  void removeAll(const HashedSet& other);
  // Same count, and every item of this set is found in other.
  bool isEqual(const HashedSet& other) const;

  // Cursor iteration in ascending slot order; the container must not change
  // between first() and the last next(). Both return null at the end.
  HashedItem* first() const;
  HashedItem* next() const;

  // Removes and returns the item in the lowest occupied slot, or null when
  // empty. Calling it until it returns null visits every item exactly once,
  // which is how a set is emptied while its items are released.
  HashedItem* removeFirst();

  // Calls f(item) for each item in slot order; f must not change the set.
  template <typename F>
  void forEach(F&& f) const {
    const std::size_t n = slotCount();
    for (std::size_t i = 0; i < n; ++i) {
      if (slots_[i] != nullptr) f(slots_[i]);
    }
  }

 private:
  std::size_t homeSlot(std::uint32_t hash) const;
  std::size_t findSlot(const HashedItem& probe) const;
  std::size_t emptySlotFor(const HashedItem& item) const;
  HashedItem* removeAt(std::size_t slot);
  void grow();

  std::size_t count_ = 0;
  unsigned bits_ = 0;
  std::size_t mask_ = 0;
  HashedItem** slots_ = nullptr;
  mutable std::size_t cursor_ = 0;
  // No slot below this one is occupied. Starting first() and removeFirst()
  // here keeps draining a set linear in its size instead of quadratic.
  mutable std::size_t lowestUsed_ = 0;
};

// Hashed dictionary: key items paired with value pointers; hashing and
// equality are the key's. The dictionary owns its key items (it deletes a key
// when its entry is removed or the dictionary dies) but never the values.
class HB_EXPORT HashedDictionary {
 public:
  explicit HashedDictionary(std::size_t sizeHint = HashedSet::kDefaultSizeHint);
  HashedDictionary(const HashedDictionary&) = delete;
  HashedDictionary& operator=(const HashedDictionary&) = delete;
  // Deletes the keys, not the values.
  virtual ~HashedDictionary();

  // Takes ownership of key. When an equal key is present, the stored key is
  // kept, the offered key is deleted and the value is replaced.
  void insertKeyAndValue(HashedItem* key, void* value);
  // The value stored under key, or null (also when the stored value is null).
  void* findValue(const HashedItem& key) const;
  // Whether key is present; stores the stored key and value when it is.
  bool findKeyAndValue(const HashedItem& key, const HashedItem** storedKey, void** value) const;
  bool contains(const HashedItem& key) const;
  // Removes the entry (deleting its stored key). Returns whether it existed and
  // passes the removed value out through value when given.
  bool remove(const HashedItem& key, void** value = nullptr);

  std::size_t entries() const;
  std::size_t slotCount() const;
  // Removes every entry, deleting the keys.
  void clear();

  // Cursor iteration in slot order (no changes in between). Returns false at
  // the end; otherwise passes out the key and the value.
  bool first(const HashedItem** key, void** value) const;
  bool next(const HashedItem** key, void** value) const;

  // Calls f(key, value) for each entry in slot order; f must not change the dictionary.
  template <typename F>
  void forEach(F&& f) const {
    set_.forEach([&](HashedItem* item) {
      auto* entry = static_cast<Entry*>(item);
      f(*entry->key, entry->value);
    });
  }

 private:
  // A set item that delegates hash and equality to its key.
  struct Entry final : HashedItem {
    HashedItem* key;
    void* value;
    std::uint32_t hash() const override;
    // other is always an Entry: lookups wrap the caller's key in one.
    bool isEqual(const HashedItem& other) const override;
  };

  HashedSet set_;
};

#endif  // HBCONNECTOR_COLLECTIONS_HPP_
