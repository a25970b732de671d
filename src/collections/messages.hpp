// Every numbered message the library itself emits, in one place: its id, the
// type it is composed with, and the parameters it carries. The agent composes
// the text from its message file; the library hands it the id, the type, the
// parameter count and the parameters joined with ','. Also the one limit on
// the library's own trace and log lines.
//
// A Message reads as its id where only the number is wanted (the raw agent
// calls and the busobj reporters take ints).
#ifndef HBCONNECTOR_COLLECTIONS_MESSAGES_HPP_
#define HBCONNECTOR_COLLECTIONS_MESSAGES_HPP_

#include <cstddef>

#include "hbconnector/tracing.hpp"

namespace hbconnector::detail {

// The buffer a library trace or log line is formatted into: a line holds at
// most kTraceLineLimit - 1 bytes and is cut before the first character that
// does not fit whole.
inline constexpr std::size_t kTraceLineLimit = 5120;

// One message: id, the MSGTYPE_* it is composed with, the parameter count
// handed to the agent, and what the parameters are, in order.
struct Message {
  int id;
  int type;
  int paramCount;
  const char* params;
  // NOLINTNEXTLINE(google-explicit-constructor): reads as its id on purpose.
  constexpr operator int() const noexcept { return id; }
};

// One line per message: its name, id, type, parameter count and what the
// parameters are. 17203 carries the library file's name as the parameter text
// of a message composed with count 0.
#define HB_MESSAGE_CATALOGUE(X)                                                        \
  X(kMsgSpecMutatorRefused, 54, MSGTYPE_FATAL, 1, "method name")                       \
  X(kMsgBadTypeCode, 61, MSGTYPE_FATAL, 1, "type code")                                \
  X(kMsgVerbNotSupported, 62, MSGTYPE_ERROR, 2, "verb, type name")                     \
  X(kMsgUnknownType, 64, MSGTYPE_ERROR, 2, "version, type name")                       \
  X(kMsgSetByNameRefused, 72, MSGTYPE_FATAL, 2, "attribute name, type code")           \
  X(kMsgBadAttribute, 73, MSGTYPE_FATAL, 2, "attribute index, type code")              \
  X(kMsgRequiredNoDefaults, 17205, MSGTYPE_ERROR, 2, "type name, attribute name")      \
  X(kMsgRequiredBadDefault, 17206, MSGTYPE_ERROR, 2, "type name, attribute name")      \
  X(kMsgRetrieveWarning, 17057, MSGTYPE_WARNING, 0, "")                                \
  X(kMsgRetrieveForUpdateFailed, 17115, MSGTYPE_ERROR, 1, "type name")                 \
  X(kMsgPriorImageDiffers, 17116, MSGTYPE_ERROR, 1, "type name")                       \
  X(kMsgPriorImageDiffersStatus, 17117, MSGTYPE_ERROR, 2, "connector name, type name") \
  X(kMsgRetrieveFailed, 17118, MSGTYPE_ERROR, 1, "type name")                          \
  X(kMsgRetrieveFailedStatus, 17119, MSGTYPE_ERROR, 2, "connector name, type name")    \
  X(kMsgAgentVersionMismatch, 17017, MSGTYPE_FATAL, 0, "")                             \
  X(kMsgNoFrameworkVersion, 17203, MSGTYPE_FATAL, 0, "(library file name)")            \
  X(kMsgIncompatibleFramework, 17204, MSGTYPE_FATAL, 5,                                \
    "library file name, framework version, library version")                           \
  X(kMsgNotSubscribed, 80008, MSGTYPE_WARNING, 2, "type name, verb")                   \
  X(kMsgConversionFailed, 80400, MSGTYPE_FATAL, 0, "")                                 \
  X(kMsgUserCodeException, 80401, MSGTYPE_ERROR, 1, "method name")                     \
  X(kMsgUserCodeInt, 80402, MSGTYPE_ERROR, 1, "thrown number")                         \
  X(kMsgUserCodeText, 80403, MSGTYPE_ERROR, 1, "thrown text")                          \
  X(kMsgTraceLevelRead, 80404, MSGTYPE_INFO, 1, "trace level")                         \
  X(kMsgTraceLevelSet, 80405, MSGTYPE_INFO, 2, "trace level, trace level")

// kMsgSpecMutatorRefused and the rest: the entries as named constants.
#define HB_DEFINE_MESSAGE(name, id, type, count, params) \
  inline constexpr Message name{id, type, count, params};
HB_MESSAGE_CATALOGUE(HB_DEFINE_MESSAGE)
#undef HB_DEFINE_MESSAGE

// The whole catalogue, for look-ups by id.
#define HB_LIST_MESSAGE(name, id, type, count, params) &(name),
inline constexpr const Message* kMessages[] = {HB_MESSAGE_CATALOGUE(HB_LIST_MESSAGE)};
#undef HB_LIST_MESSAGE

// The catalogue entry of id, or null when the library emits no such message.
constexpr const Message* findMessage(int id) {
  for (const Message* message : kMessages) {
    if (message->id == id) return message;
  }
  return nullptr;
}

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_COLLECTIONS_MESSAGES_HPP_
