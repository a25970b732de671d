// Internal access to the private state of the business object model.
//
// The record readers and writers (text formats, transaction objects, tree
// services) need to build objects step by step: an invalid object first, then
// the spec once the type name is known, verbs copied without checks, slots
// filled directly. BusObjAccess is the one friend of BusinessObject,
// BusObjArray, AttrSpec, BusObjSpec and TransactionBusinessObject that offers
// those steps; connector code never sees it.
//
// Slot texts. A text stored in a value slot is a copySlotText copy (new[]) or,
// in an object built in a tree arena, a copy in the arena's text block
// (copyOwnedText); every slot text is released through releaseOwnedText, which
// tells the two apart. The blank marker is never released.
#ifndef HBCONNECTOR_BUSOBJ_BUSOBJ_ACCESS_HPP_
#define HBCONNECTOR_BUSOBJ_BUSOBJ_ACCESS_HPP_

#include <cstddef>
#include <string_view>

#include "collections/text.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"

class TransactionBusinessObject;

namespace hbconnector::detail {

// A slot copy of text (null gives null). Released with releaseOwnedText.
inline char* copySlotText(const char* text) { return copyText(text); }
// A slot copy of the first length bytes of data, zero-terminated.
inline char* copySlotText(const char* data, std::size_t length) { return copyText(data, length); }

// An owned copy of a text held in an object's own fields (verb, locale,
// information, spec texts): new[], released with delete[]. Null gives null.
inline char* dupText(const char* text) { return copyText(text); }
inline char* dupText(const char* data, std::size_t length) { return copyText(data, length); }

// Whether the attribute's slot holds a BusObjArray (child type, cardinality "n").
inline bool isArrayAttr(const AttrSpec& attr) {
  return attr.isObjectType() && attr.isMultipleCard();
}

class BusObjAccess {
 public:
  // ---- BusinessObject -----------------------------------------------------

  // A new invalid object: no spec, no slots, no verb, no locale.
  static BusinessObject* makeInvalid();
  // The same constructed in memory (suitably sized and aligned) given by the caller.
  static BusinessObject* constructInvalid(void* memory);
  static void setInArena(BusinessObject& bo) { bo.arenaFlags_ = BusinessObject::kArenaObject; }
  static bool inArena(const BusinessObject& bo) {
    return (bo.arenaFlags_ & BusinessObject::kArenaObject) != 0;
  }
  // A copy of length bytes of data for a text owned by bo (a slot text, its
  // verb or locale): in bo's tree memory when it has one, else on the heap.
  static char* copyOwnedText(const BusinessObject& bo, const char* data, std::size_t length);
  // Releases a text owned by bo; null and the blank marker are ignored.
  static void releaseOwnedText(const BusinessObject& bo, char* text);
  // A new valid object of spec (every slot unset, after-image, the default
  // locale), without a registry lookup. Null spec gives an invalid object.
  static BusinessObject* makeWithSpec(BusObjSpec* spec);

  // Gives an object without slots its spec and one unset slot per attribute.
  // An object that already has slots releases them first.
  static void attachSpec(BusinessObject& bo, BusObjSpec* spec);

  // Text blocks. An object read from a record outside a tree arena (the root
  // of a read) gets its slot array and the texts it reads (verb, locale,
  // values) in one allocation: the slots, then the end and the cursor of the
  // text space, then the text space. Such a text is released with the block,
  // not on its own; a text that does not fit, or one set later, is a heap
  // copy as usual. setValues moves the texts of the slots and the verb and
  // locale out of the block before the array goes: a slot array handed on
  // (to the caller, or swapped into another object) holds heap texts only.
  //
  // attachSpec for such an object, with room for textCapacity bytes of text.
  static void attachSpecWithTexts(BusinessObject& bo, BusObjSpec* spec, std::size_t textCapacity);
  // A zero-terminated copy of length bytes of data for bo: in its text block
  // while there is room, else on the heap.
  static char* copyBlockText(BusinessObject& bo, const char* data, std::size_t length);
  static bool hasTextBlock(const BusinessObject& bo) {
    return (bo.arenaFlags_ & BusinessObject::kTextBlock) != 0;
  }
  // Whether text lies in bo's text block.
  static bool inTextBlock(const BusinessObject& bo, const void* text);
  // Moves verb and locale, and with withSlots the slot texts, out of bo's
  // text block (into heap copies) and forgets the block; the slot array
  // pointer is left alone.
  static void detachTextBlock(BusinessObject& bo, bool withSlots);
  // Releases every slot and the slot array, and clears the spec: the object
  // becomes invalid.
  static void invalidate(BusinessObject& bo);

  // Stores a copy of verb (null clears it) without checking the spec.
  static void setVerbUnchecked(BusinessObject& bo, const char* verb);
  // Stores a copy of locale; null clears it (unlike setLocale).
  static void setLocaleUnchecked(BusinessObject& bo, const char* locale);
  // The same from bytes that are not zero-terminated.
  static void setVerbUnchecked(BusinessObject& bo, const char* data, std::size_t length);
  static void setLocaleUnchecked(BusinessObject& bo, const char* data, std::size_t length);
  static void setDelta(BusinessObject& bo, bool delta) { bo.delta_ = delta; }
  // Stores texts made for bo by copyOwnedText into an object that has no
  // verb or locale yet (a child being read).
  static void adoptVerb(BusinessObject& bo, char* verb) { bo.verb_ = verb; }
  static void adoptLocale(BusinessObject& bo, char* locale) { bo.locale_ = locale; }

  // The slot array (null for an invalid object).
  static void** values(BusinessObject& bo) { return bo.values_; }
  // Replaces slot index's content without releasing what it held and without
  // any check; the object takes ownership of value.
  static void storeSlot(BusinessObject& bo, int index, void* value) { bo.values_[index] = value; }

  // Releases one value of owner by the kind of attr: a slot text, a child
  // object or an array. Null and the blank marker are never released.
  static void releaseValue(const BusinessObject& owner, const AttrSpec& attr, void* value);

  // The child object in slot index, or null when the slot holds none (the
  // blank marker included) or the attribute is not a single child.
  static BusinessObject* childAt(const BusinessObject& bo, int index);
  // The array in slot index, or null when the slot holds none (the blank
  // marker included) or the attribute is not a child array.
  static BusObjArray* arrayAt(const BusinessObject& bo, int index);

  // Moves the slots of answer into bo (the layouts of their specs must agree:
  // sameLayout) and makes bo the parent of the children it received; answer
  // is left holding bo's former slots, released with it. bo also takes
  // answer's verb (none for a missing one or "null") and delta flag.
  static void takeContents(BusinessObject& bo, BusinessObject& answer);

  // Whether the slot layouts of two specs agree (same attribute count, and at
  // every index the same type code and the same array-ness), so slots of one
  // may be read with the other's attribute kinds.
  static bool sameLayout(const BusObjSpec* a, const BusObjSpec* b);

  // What happens to a single child (or, in copySlots, a child array) that a
  // store displaces from its slot. Connector code that stores through the
  // public setters keeps the displaced object (it is the caller's to delete);
  // the library's own operations displace what no caller can reach and
  // release it.
  enum class Displaced { kKeep, kRelease };

  // The typed setter without messages (the public overloads report): markers
  // for any type (releasing the slot's content); otherwise the attribute's
  // type code must equal type. Texts are copied, the old text released; a
  // child becomes bo's child (appended for cardinality "n", where an array
  // already holding it is left alone); a different single child replaces the
  // previous one, which displaced says what to do with.
  static bool storeTyped(BusinessObject& bo, int index, void* value, int type, Displaced displaced);
  // Deep copy of source's slots into bo (setAttrValues): texts copied, present
  // children and arrays copied and stored; displaced says what becomes of the
  // child objects and arrays the copies displace.
  static void copySlots(BusinessObject& bo, void* const* source, Displaced displaced);
  // Stores a copy of value in simple attribute index (the blank marker for an
  // empty value), releasing the old text; false for a child attribute, a bad
  // index or a value holding a zero byte.
  static bool storeText(BusinessObject& bo, int index, std::string_view value);
  // Stores a marker (ignore or blank) in any slot, releasing its content;
  // false for a bad index.
  static bool storeMarker(BusinessObject& bo, int index, char* marker);
  // Appends child, a fresh object no array holds yet, to bo's child array in
  // slot index (creating the array), making bo its parent: storeTyped
  // without the search for the same child already in the array.
  static void appendFreshChild(BusinessObject& bo, int index, BusinessObject* child);
  // Sets verb on `to` unless it is null or the text "null" (which is how a
  // missing verb reads back from text).
  static void copyVerb(BusinessObject& to, const char* verb);
  // A new object of from's spec with from's verb and a deep copy of its slots
  // (delta flags are not copied); null when from is invalid.
  static BusinessObject* copyValues(const BusinessObject& from);
  // The name constructors: registry lookup, message 64 when the type is
  // unknown, slots and locale otherwise.
  static void initByName(BusinessObject& bo, const char* typeName, const char* locale,
                         const Version* version);

  // ---- BusObjArray --------------------------------------------------------

  // Whether array holds this very object (compared by address).
  static bool holds(const BusObjArray& array, const BusinessObject* object);

  // ---- records --------------------------------------------------------------

  // Writes what toStringMessage (lengthPrefixed false) or toStringMessageI18N
  // would return into out, an empty message of exactly that class.
  static void writeRecord(const BusinessObject& bo, StringMessage& out, bool lengthPrefixed);
  static void writeRecord(const TransactionBusinessObject& bo, StringMessage& out,
                          bool lengthPrefixed);
};

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_BUSOBJ_BUSOBJ_ACCESS_HPP_
