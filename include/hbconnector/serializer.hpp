// The combined message: one business object together with the
// specifications it needs, for connector code that stores or forwards
// business objects outside the agent.
//
// Text: delimited with the character of code 4:
//   "BusObjAndSpec" <business object record> <spec record> <spec record> ...
// where each inner record is delimited with code 3.
#ifndef HBCONNECTOR_SERIALIZER_HPP_
#define HBCONNECTOR_SERIALIZER_HPP_

#include "hbconnector/collections.hpp"
#include "hbconnector/export.hpp"

class BusinessObject;

inline constexpr char BUSOBJ_AND_SPEC_TAG[] = "BusObjAndSpec";

// Readers accept at most this many specification records in one message.
inline constexpr int MAX_SPECS_PER_MESSAGE = 10000;

class HB_EXPORT BusObjAndSpecSerializer {
 public:
  // The business object record of bo followed by the specs of its type and of
  // every child type, each once, in no particular order. New text; the caller
  // deletes it with delete[]. bo must not be null. An invalid bo (no spec) is
  // written as the token "null", which reads back as an invalid object.
  static char* serializeWithAllSpecs(BusinessObject* bo);
  // The key form of bo's record followed by the spec of its own type. The key
  // form is: "BusinessObject", type name, version, verb (or "null"), attribute
  // count, then per attribute "0" for a child-object attribute, and for a
  // simple one "VqIgnore" (unset), "VqBlank" (blank), the value (key
  // attributes) or "VqIgnore" (any other value). No delta flag, no locale.
  static char* serializeWithSpec(BusinessObject* bo);
  // Registers the message's specs whose names are not registered yet and
  // reads the business object. A spec whose name is registered already is
  // discarded (the registered one is kept: objects may point to it); a
  // malformed spec (attribute count -1) is discarded and never registered.
  // Returns a new object the caller deletes, possibly invalid (getSpec() null)
  // when its record cannot be read; null when the text is not a combined
  // message: wrong tag, no business object token, or more than
  // MAX_SPECS_PER_MESSAGE spec tokens (then nothing is registered).
  static BusinessObject* deserializeWithAllSpecs(const char* boMsg);
  // The same for a message written by serializeWithSpec; only the first spec
  // token is used. The object token is read in the key form: it is taken as
  // an after-image with the default locale (the agent's, else "en_US"); a
  // child-object attribute reads as unset (or blank for "VqBlank"), since the
  // key form never carries children; "VqIgnore"/"VqBlank" and values of
  // simple attributes read as in the ordinary record. A truncated key form or
  // a count that differs from the spec's gives an invalid object.
  static BusinessObject* deserializeWithSpec(const char* boMsg);
  // The registered specs of bo's type and of all child types, each once
  // (recursive types end): NameItem keys, BusObjSpec* values. Child types
  // without a registered spec are left out. The caller deletes the
  // dictionary; the specs stay registered.
  static HashedDictionary* collectSpecs(BusinessObject* bo);
};

#endif  // HBCONNECTOR_SERIALIZER_HPP_
