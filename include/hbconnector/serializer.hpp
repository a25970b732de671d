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
  // every child type, each once. New text; the caller deletes it with delete[].
  static char* serializeWithAllSpecs(BusinessObject* bo);
  // The key form of bo's record followed by the spec of its own type.
  static char* serializeWithSpec(BusinessObject* bo);
  // Registers the message's specs whose names are not registered yet (a
  // registered spec is kept) and reads the business object. A new object the
  // caller deletes, or null when the text is not a combined message.
  static BusinessObject* deserializeWithAllSpecs(const char* text);
  // The same for a message written by serializeWithSpec: the object record
  // is read in the key form (tag, type name, version, verb, count, one token
  // per attribute; no delta flag, no locale), with the default locale.
  static BusinessObject* deserializeWithSpec(const char* text);
  // The registered specs of bo's type and of all child types, each once
  // (recursive types end): NameItem keys, BusObjSpec* values. The caller
  // deletes the dictionary; the specs stay registered.
  static HashedDictionary* collectSpecs(BusinessObject* bo);
};

#endif  // HBCONNECTOR_SERIALIZER_HPP_
