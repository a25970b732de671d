// Transaction business objects: a BusinessObject with a prior image, the
// values the object is expected to have in the application before the verb is
// applied. The agent sends one for transactional verb requests as a business
// object record followed by a transaction record; its doVerbFor goes to the
// handler's doTransactionVerb, which retrieves the object, compares it with
// the prior image and performs the verb only when they match.
//
// Every BusinessObject operation acts on the current values; the *Old*
// operations act on the prior image. Deleting a TransactionBusinessObject
// through a BusinessObject pointer releases the prior image too.
//
// Reading: a message without a transaction record gives an object without a
// prior image. A transaction record that names an unknown type (message 64) or
// a type whose attributes are laid out differently, or that is cut short,
// makes the whole object invalid (no spec); one whose attribute count is wrong
// leaves the prior image unset (message 64).
#ifndef HBCONNECTOR_TRANSACTION_BUSOBJ_HPP_
#define HBCONNECTOR_TRANSACTION_BUSOBJ_HPP_

#include "hbconnector/business_object.hpp"
#include "hbconnector/export.hpp"

class HB_EXPORT TransactionBusinessObject : public BusinessObject {
 public:
  // Reads the business object record, then the transaction record into the
  // prior image (absent when the message has no transaction record).
  explicit TransactionBusinessObject(StringMessage& message);
  ~TransactionBusinessObject() override;

  // Whether the message carried a transaction record.
  bool hasPriorImage() const { return oldValues_ != nullptr; }
  // The prior-image slot; null (and message 73 with "Unknown") for a bad
  // index or name, and null when there is no prior image.
  void* getOldAttrValue(int index) const;
  void* getOldAttrValue(const char* name) const;
  // The typed setter on the prior image (creates an empty prior image when
  // there is none). False (message 73 by index, 72 by name) when refused.
  // Ownership as for BusinessObject::setAttrValue: texts are copied and the
  // old text released; a stored child belongs to the prior image; a
  // different single child displaces the one the slot held without releasing
  // it (the caller remains responsible for it).
  bool setOldAttrValue(int index, void* value, int type);
  bool setOldAttrValue(const char* name, void* value, int type);
  // Compares other's current values with this object's prior image over
  // every attribute, the last one included: 0 same, -1 different. Values
  // missing on either side (the whole prior image included) are no
  // difference; an invalid object or one of another layout is different.
  int compare(const BusinessObject* other) const;
  // The handler's doTransactionVerb; -1 when the object is invalid or its
  // spec has no handler.
  int doVerbFor(ReturnStatusDescriptor* status);
  // Business object record followed by the transaction record.
  StringMessage* toStringMessage() const;
  StringMessageI18N* toStringMessageI18N() const;
  // The business object record alone.
  StringMessage* toBusObjStringMessage() const;

 private:
  friend class hbconnector::detail::BusObjAccess;
  void releaseOldSlot(int index);
  void releasePriorImage();
  // The typed setter without messages; false when refused.
  bool storeOld(int index, void* value, int type);
  // Reads the transaction record that may follow the business object record.
  void readTransactionRecord(StringMessage& message);
  // Appends the transaction record of the prior image to out.
  void appendTransactionRecord(StringMessage& out, bool lengthPrefixed) const;

  void** oldValues_ = nullptr;
};

#endif  // HBCONNECTOR_TRANSACTION_BUSOBJ_HPP_
