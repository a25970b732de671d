// Business objects: one instance of a business object type.
//
// A BusinessObject has a verb (what the broker wants done: "Create",
// "Retrieve", "Update", "Delete", ...), a locale, a delta flag and one value
// slot per attribute of its type's BusObjSpec, in the spec's attribute order.
// Values of simple attributes (type codes 1..7) are texts stored and handed
// out unchanged; a child-object attribute (code 0) holds one child
// BusinessObject, or for cardinality "n" a BusObjArray of children, so a
// business object is the root of a tree.
//
// Values. Every slot starts with the ignore marker (IGNORE_VALUE, a null
// pointer: no value, leave alone). The blank marker (BLANK_VALUE, one shared
// empty text) means explicitly blank; any empty text counts as blank
// (isBlankValue). Slot contents:
//   simple attribute             the ignore marker, the blank marker, or an owned text
//   child, cardinality not "n"   null or an owned BusinessObject*
//   child, cardinality "n"       null, the blank marker, or an owned BusObjArray*
// getAttrValue returns void*: cast it to char*, BusinessObject* or
// BusObjArray* by the attribute's kind.
//
// Ownership. A parent owns its children and arrays and destroys them with
// itself; the parent link is never owned. setAttrValue copies texts and takes
// ownership of child objects. Objects that connector code creates
// (constructors, duplicate, newAttrValue, the toStringMessage family) are its
// own to delete; the object a verb request hands to a handler belongs to the
// library.
//
// Displaced children. Storing a different single child with setAttrValue,
// and replacing children with setAttrValues or copyFrom, does not release
// the child object or child array the slot held: it is no longer part of the
// tree and the caller remains responsible for it (delete it, or store it
// elsewhere). Texts are always copied and the old text released, and
// storing a marker releases the slot's content. The library's own operations
// (mergeDelta, applyDelta, the verb procedures of BOHandlerBase, the defaults
// and test-object services) release what they displace themselves.
//
// Validity. An object whose type is not registered (or whose text could not
// be read) is invalid: getSpec() returns null and only destruction is
// meaningful. Test getSpec() before using an object you built from text.
//
// A business object and its tree are used by one thread at a time; different
// objects are independent.
#ifndef HBCONNECTOR_BUSINESS_OBJECT_HPP_
#define HBCONNECTOR_BUSINESS_OBJECT_HPP_

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/export.hpp"

class BusObjArray;
class ReturnStatusDescriptor;
class StringMessage;
class StringMessageI18N;
class Version;
namespace hbconnector::detail {
class BusObjAccess;
}

// The two values that are not data (see the file comment). In the text
// format they are the tokens "VqIgnore" and "VqBlank".
HB_EXPORT extern char* const IGNORE_VALUE;
HB_EXPORT extern char* const BLANK_VALUE;

// Verb texts used by the library's own comparisons.
inline constexpr char CREATE[] = "Create";
inline constexpr char DELETE[] = "Delete";
inline constexpr char UPDATE[] = "Update";
inline constexpr char RETRIEVE[] = "Retrieve";

// The four verbs of the constants above as a scoped enumeration. A spec may
// list other verbs too; those are reached through the texts.
enum class Verb { Create, Retrieve, Update, Delete };

// The verb's text ("Create", ...).
constexpr const char* verbName(Verb verb) {
  switch (verb) {
    case Verb::Create:
      return CREATE;
    case Verb::Retrieve:
      return RETRIEVE;
    case Verb::Update:
      return UPDATE;
    case Verb::Delete:
      return DELETE;
  }
  return "";
}

// The verb whose text is exactly name; nullopt for any other text.
constexpr std::optional<Verb> verbFromName(std::string_view name) {
  for (Verb verb : {Verb::Create, Verb::Retrieve, Verb::Update, Verb::Delete}) {
    if (name == verbName(verb)) return verb;
  }
  return std::nullopt;
}

// Readers refuse child records nested deeper than this many levels (a root
// record is level 1): such text gives an invalid object, found as soon as the
// reader reaches the level past the cap. 100 levels is far beyond any real
// business object schema (a handful of levels: order, line, detail) and is
// the recursion limit that widely used message formats chose as well. It
// keeps the deepest recursive walk (reading, writing, dump, duplicate,
// compare, verb marking, merging and applying deltas, defaults, event ids,
// destruction) to a few tens of kilobytes of stack: a tree at the cap is
// handled on a 256 KiB thread stack, the small stacks agents give their
// threads (-Xss256k). Trees that connector code builds deeper than the cap
// by hand are its own responsibility.
inline constexpr int MAX_BUSOBJ_DEPTH = 100;

class HB_EXPORT BusinessObject {
 public:
  // Constructs an object of a registered type with every slot unset. An
  // unregistered type reports message 64 (version text, type name) and gives
  // an invalid object. The locale is the given one when non-empty, else the
  // agent's locale, else "en_US". The version is used only in the message.
  explicit BusinessObject(const char* typeName);
  BusinessObject(const char* typeName, const char* locale);
  BusinessObject(const char* typeName, const Version& version);
  // Reads one business object record from message (either encoding); the
  // message is left positioned after the record. Malformed text gives an
  // invalid object: a token missing, an unknown type, a wrong attribute
  // count, nesting beyond MAX_BUSOBJ_DEPTH, or an element count larger than
  // the rest of the text can hold (checked before anything is allocated).
  explicit BusinessObject(StringMessage& message);
  BusinessObject(const BusinessObject&) = delete;
  BusinessObject& operator=(const BusinessObject&) = delete;
  // Releases the verb, the information, every slot (children included) and
  // the locale.
  virtual ~BusinessObject();
  // delete runs the destructor of the object's own class and frees the memory
  // where it was taken: the heap, or for a child of a tree read from a record
  // the memory of that tree (released when its last object goes).
  static void operator delete(BusinessObject* object, std::destroying_delete_t);

  // Type and spec access (require a valid object).
  BusObjSpec* getSpec() const { return spec_; }
  BusObjSpec* getBusObjSpec() const { return spec_; }
  const char* getName() const;
  Version* getVersion() const;
  int getAttrCount() const;
  AttrSpec* getAttrSpec(int index) const;
  AttrSpec* getAttrSpec(const char* name) const;
  // Null for a bad index.
  const char* getAttrName(int index) const;
  // 0..7, or -1 when there is no such attribute.
  int getAttrType(int index) const;
  int getAttrType(const char* name) const;

  // The slot content; null (and message 73) for an index outside the
  // attributes or an unknown name.
  void* getAttrValue(int index) const;
  void* getAttrValue(const char* name) const;
  // The typed setter. Markers are stored for any type code. Otherwise the
  // type code must equal the attribute's: texts (codes 1..7) are copied; a
  // child object (code 0) becomes this object's child, appended to the array
  // for cardinality "n". Storing a different single child displaces the
  // previous one without releasing it: the caller remains responsible for it.
  // Storing the same child again is harmless. A marker releases the slot's
  // content. False (and message 73 by index, 72 by name) when refused; the
  // slot is then unchanged.
  bool setAttrValue(int index, void* value, int type);
  bool setAttrValue(const char* name, void* value, int type);
  bool isIgnore(int index) const;
  bool isIgnore(const char* name) const;
  // The value is present and its text is empty (the blank marker included).
  // A child object or array slot is blank only when it holds the blank marker.
  bool isBlank(int index) const;
  bool isBlank(const char* name) const;
  static bool isIgnoreValue(const void* value) { return value == nullptr; }
  static bool isBlankValue(const void* value);
  static char* getIgnoreValue() { return IGNORE_VALUE; }
  static char* getBlankValue() { return BLANK_VALUE; }

  // A fresh value the caller owns: for a simple attribute an uninitialised
  // text buffer of maxLength + 1 bytes (delete[]); for a child attribute a new
  // BusinessObject of its type and version (delete); null when no such attribute.
  [[nodiscard]] void* newAttrValue(int index) const;
  [[nodiscard]] void* newAttrValue(const char* name) const;
  // The attribute's default value; the ignore marker when no such attribute.
  const char* getDefaultValue(int index) const;
  const char* getDefaultValue(const char* name) const;

  // The slot array itself (not a copy), one entry per attribute. Its values
  // belong to the object: replace them through setAttrValue or setValues,
  // never delete[] them directly (an object read from a record keeps the
  // texts it read in memory shared with its slot array or its tree, until
  // setValues hands that array on).
  void** getAttrValues() const { return values_; }
  // Replaces the slot array pointer; nothing is released. The object takes
  // ownership of values (new void*[count]) and its content; the array
  // replaced and its content become the caller's (released with delete[]).
  void setValues(void** values);
  // Deep copy of another object's slot array of the same type. A child object
  // or child array present in source replaces this object's with a copy; the
  // one displaced is not released (the caller remains responsible for it).
  // Children absent in source leave this object's in place.
  void setAttrValues(void** source);

  // ---- Values by std::string_view --------------------------------------
  // A surface beside the operations above for C++ callers: names need not be
  // zero-terminated, texts are read without casts and stored without
  // const_cast, children change hands as std::unique_ptr. Lookups by name
  // are exact and case-sensitive. Getters never report; setters that refuse
  // report message 73 (by index) or 72 (by name) as setAttrValue does.

  // The index of the attribute, or -1.
  [[nodiscard]] int attrIndex(std::string_view name) const;
  // The text of a simple attribute: nullopt when it is unset (the ignore
  // marker), when there is no such attribute and for a child attribute; an
  // empty view when it is blank. The view stays valid until the slot changes.
  [[nodiscard]] std::optional<std::string_view> getAttrText(std::string_view name) const;
  [[nodiscard]] std::optional<std::string_view> getAttrText(int index) const;
  // Stores a copy of value in a simple attribute, whatever its type code (the
  // attribute's own is used). An empty value stores the blank marker. False
  // for a child attribute, no such attribute, or a value holding a zero byte
  // (no record can carry one).
  bool setAttrText(std::string_view name, std::string_view value);
  bool setAttrText(int index, std::string_view value);
  // Marks any attribute blank / unset, releasing what the slot held (a child
  // or child array included). False when there is no such attribute.
  bool setAttrBlank(std::string_view name);
  bool setAttrBlank(int index);
  bool unsetAttr(std::string_view name);
  bool unsetAttr(int index);

  // The single child of a child attribute (cardinality other than "n"), or
  // null when the slot holds none or the attribute is not such a child.
  [[nodiscard]] BusinessObject* getChild(std::string_view name) const;
  [[nodiscard]] BusinessObject* getChild(int index) const;
  // The child array of a cardinality-"n" attribute, or null when the slot
  // holds none (the blank marker included) or the attribute is not an array.
  [[nodiscard]] BusObjArray* getChildArray(std::string_view name) const;
  [[nodiscard]] BusObjArray* getChildArray(int index) const;
  // A new valid object of a child attribute's type (for addChild); null when
  // there is no such child attribute or its type is not registered.
  [[nodiscard]] std::unique_ptr<BusinessObject> newChild(std::string_view name) const;
  // Makes child a child of this object: appended to the array of a
  // cardinality-"n" attribute, otherwise stored in the slot, where the child
  // it displaces is destroyed. On success this object owns the child and
  // `child` is left empty; when refused (no such child attribute, a child of
  // another type than the attribute's, a null or invalid child, this object
  // itself) false, and `child` still holds it.
  bool addChild(std::string_view name, std::unique_ptr<BusinessObject>&& child);
  bool addChild(int index, std::unique_ptr<BusinessObject>&& child);

  // Whether the verb is exactly verb's text.
  [[nodiscard]] bool hasVerb(Verb verb) const;
  // setVerb(verbName(verb)), with its check against the spec.
  void setVerb(Verb verb) { setVerb(verbName(verb)); }

  const char* getVerb() const { return verb_; }
  // Refuses (message 62, verb unchanged) a verb the spec does not list; null
  // always succeeds and clears the verb. An invalid object keeps no verb but
  // null (without a message).
  void setVerb(const char* verb);
  const char* getLocale() const { return locale_; }
  // Ignores a null or empty text and returns null; otherwise stores a copy
  // and returns it.
  const char* setLocale(const char* locale);
  bool isDelta() const { return delta_; }
  void setDelta(bool delta) { delta_ = delta; }
  BusinessObject* getParent() const { return parent_; }
  void setParent(BusinessObject* parent) { parent_ = parent; }
  void clearParent() { parent_ = nullptr; }
  const char* getAppSpecificInfo() const { return appSpecificInfo_; }
  void setAppSpecificInfo(const char* info);
  // An opaque value for connector code; never read by the library.
  void* getClientData() const { return clientData_; }
  void setClientData(void* data) { clientData_ = data; }

  // Whether every key attribute holds equal texts in both objects (true when
  // the type has no keys); false for null, an invalid object, or an object
  // whose slots have another layout.
  bool keysEqual(const BusinessObject* other) const;
  // 0 when the objects hold the same data, -1 otherwise. Values unset on
  // either side are no difference; the last attribute of the spec is not
  // compared.
  int compare(const BusinessObject* other) const;
  // A new, independent deep copy of the same type and spec (default locale;
  // verbs, delta flags and array delta flags copied, a verb "null" dropped);
  // the caller deletes it. appSpecificInfo and clientData are not copied.
  // Null for an invalid object.
  [[nodiscard]] BusinessObject* duplicate() const;
  // setAttrValues(other.getAttrValues()), then the delta flag; true. False,
  // with nothing copied, when other's slots have another layout. Displaced
  // children are the caller's, as for setAttrValues.
  bool copyFrom(const BusinessObject& other);
  // Runs the verb through the type's handler (delta updates the handler does
  // not accept go through BOHandlerBase::doUpdateWithoutDelta) and puts a
  // pending error text into status when the handler set no message. -1 when
  // the object is invalid or its spec has no handler.
  int doVerbFor(ReturnStatusDescriptor* status);
  // Readable text of the tree into buffer. Returns the characters written,
  // -1 when the text does not fit (what fitted is left), 0 for a null buffer.
  int dump(char* buffer, int size) const;

  // The business object record as a new message; the caller deletes it.
  [[nodiscard]] StringMessage* toStringMessage() const;
  [[nodiscard]] StringMessageI18N* toStringMessageI18N() const;
  // The key form of the record: key values only, no delta flag, no locale.
  [[nodiscard]] StringMessage* toKeyStringMessage() const;

  // Tree operations for delta and after-image handling. Children are matched
  // by key values (keysEqual), never by position.
  // Sets verb on this object and every child below it.
  void markVerb(const char* verb);
  // Labels this (new) image's children "Create", "Update" or "Delete"
  // against old. False (nothing changed) when the keys differ.
  bool markVerbsAgainst(BusinessObject* old);
  bool markVerbsAgainst(BusinessObject& old);
  // Folds a delta or later image into this after-image: 0, or -1 (nothing
  // changed) when the keys differ.
  int mergeDelta(BusinessObject* delta);
  // Folds a delta into this object just retrieved from the application; 0,
  // or -1 (nothing changed) for a null delta or one of another layout.
  int applyDelta(BusinessObject* delta);

  // Whole-tree services.
  // Fills unset required simple attributes from their defaults ("UseDefaults"
  // not "false"). False (message 17205 or 17206) at the first one that cannot
  // be filled. The last attribute of a spec is not examined.
  bool initAndValidateAttrs();
  // Applies every non-empty default value in the tree.
  void setDefaultAttrValues();
  // When the verb is "Create": fills a test tree (childCount children per
  // array, random key values, defaults). flag is passed down and not used.
  void fillForCreate(int childCount, int flag);
  // When the verb is "Create": random key values in the tree.
  void generateKeys();
  // Gives this object (as element `index` of its parent) and every child
  // without one an "ObjectEventId" value. Existing values are kept.
  void setObjectEventId(int index);
  void setObjectEventId();

 protected:
  friend class hbconnector::detail::BusObjAccess;
  // An invalid object with nothing set (used by readers before the spec is known).
  struct NoInit {};
  explicit BusinessObject(NoInit);
  // Releases one slot's content according to attribute index's kind.
  void releaseSlot(int index);

  char* verb_ = nullptr;
  char* locale_ = nullptr;
  char* appSpecificInfo_ = nullptr;
  void** values_ = nullptr;
  BusinessObject* parent_ = nullptr;
  BusObjSpec* spec_ = nullptr;
  void* clientData_ = nullptr;
  bool delta_ = false;
  // Whether the object (kArenaObject) and its slot array (kArenaSlots) live
  // in the memory of a tree read from a record, and whether the slot array
  // of an object read from a record outside an arena carries the texts read
  // with it (kTextBlock). The flags fit in the padding after delta_, so the
  // object keeps its size.
  static constexpr std::uint8_t kArenaObject = 1;
  static constexpr std::uint8_t kArenaSlots = 2;
  static constexpr std::uint8_t kTextBlock = 4;
  std::uint8_t arenaFlags_ = 0;
};

// The children of a cardinality-"n" attribute. Owns its elements; a slot may
// hold null. Storage starts with 25 slots and grows by 25.
class HB_EXPORT BusObjArray {
 public:
  explicit BusObjArray(BusObjSpec* spec);
  BusObjArray(const BusObjArray&) = delete;
  BusObjArray& operator=(const BusObjArray&) = delete;
  // Destroys every element.
  ~BusObjArray();

  // Destroys every element and restarts with 25 empty slots.
  void removeAll();
  // Appends; null is ignored.
  void addObject(BusinessObject* object);
  // index 0..count: shifts the rest up and stores object (null allowed);
  // 0, or -1 for any other index.
  int insertObjectAt(int index, BusinessObject* object);
  // Stores object at index, destroying the element there; an index at or
  // beyond count grows the array (null in between). Returns object. A
  // negative index stores nothing and returns null.
  BusinessObject* setObjectAt(int index, BusinessObject* object);
  // Destroys the element and shifts the rest down; 0, or -1 for a bad index.
  int removeObjectAt(int index);
  // The element, or null outside 0..count-1.
  BusinessObject* getObject(int index) const;
  int getObjectCount() const { return count_; }
  // Elements 0 to count-1 for a range-for (an entry may be null). The span
  // is valid until the array changes.
  [[nodiscard]] std::span<BusinessObject* const> objects() const {
    return {slots_, static_cast<std::size_t>(count_ > 0 ? count_ : 0)};
  }
  int getCapacity() const { return capacity_; }
  // Index of the first present element whose keys equal object's; -1 when
  // none or object is null.
  int findByKeys(const BusinessObject* object) const;
  // 0 when both arrays hold equal elements position by position, else -1.
  int compare(const BusObjArray* other) const;
  bool isDelta() const { return delta_; }
  void setDelta(bool delta) { delta_ = delta; }
  BusObjSpec* getSpec() const { return spec_; }
  void setSpec(BusObjSpec* spec) { spec_ = spec; }

  void markVerb(const char* verb);
  // This array is the new side and is changed; old is only read. reverse
  // exchanges "Create" and "Delete" for the unmatched elements.
  void markVerbsAgainst(const BusObjArray* old, BusinessObject* parent, bool reverse);
  void mergeDelta(const BusObjArray* delta, BusinessObject* parent);
  void applyDelta(const BusObjArray* delta, BusinessObject* parent);

 private:
  friend class hbconnector::detail::BusObjAccess;
  void ensureCapacity(int needed);
  void applyDeltaIndexed(const BusObjArray* delta, BusinessObject* parent);

  bool delta_ = false;
  int capacity_ = 0;
  int count_ = 0;
  BusinessObject** slots_ = nullptr;
  BusObjSpec* spec_ = nullptr;
};

#endif  // HBCONNECTOR_BUSINESS_OBJECT_HPP_
