// The library's calls into the agent, with the rules that surround each raw
// agent method: empty buffers on missing answers, trace lines, subscription
// filtering and event ids for events, "ascii8" conversion, and the
// process-lifetime cache of the agent's encoding and locale.
//
// Callable from any thread. The connector runtime (veneer, tracing, message
// generation) and the native methods call these; connector code reaches them
// through ConnectorBase, BOHandlerBase and BusinessObject.
#ifndef HBCONNECTOR_RUNTIME_UPCALLS_HPP_
#define HBCONNECTOR_RUNTIME_UPCALLS_HPP_

#include <string>

#include "collections/messages.hpp"

class BusinessObject;
class ReturnStatusDescriptor;
class StringMessage;
class Tracing;

namespace hbconnector::detail::upcall {

// Property lookups: the buffer is always set (empty when there is no value);
// the result is the number of bytes stored (cut to size - 1), 0 for a null
// name or no value. Traced at level 4.
int getConfigProp(const char* name, char* buffer, int size);
int getConfigPropI18n(const char* name, char* buffer, int size);
void getDeltaSupport(const char* boName, char* buffer, int size);

void traceWrite(const Tracing& tracing, int level, const char* text, const char* extra);
// New text (delete[]) or null when no agent answered.
char* generateMsg(int id, int type, const char* extra, int flag, int count, const char* params);

// Application events. The text form answers -10 (after message 80008) when
// nobody subscribes to the object's name and verb; both forms give a missing
// ObjectEventId a "<connector>_<seconds>_<counter>" value first.
int gotEventFromApp(BusinessObject& bo);
int gotEventFromApp(BusinessObject& bo, const char* encoding);

// The next ObjectEventId value for an event without one:
// "<connector name>_<seconds since the epoch>_<counter>". The counter starts
// at 0 and is shared by the text form and the byte-array form of the event
// upcall (byteArrayForm), so no two ids of a process are equal; each form
// reads "ConnectorName" (at most 127 bytes) through the current veneer once,
// at its first id made while a veneer exists.
std::string makeObjectEventId(bool byteArrayForm);

void consumeSync(const char* name, BusinessObject& bo, ReturnStatusDescriptor* status);
// New message over the names (caller deletes), or null when no agent.
StringMessage* getCollabNames();
// Cached for the life of the process once the agent answered; null when no
// agent could be asked.
StringMessage* getEncoding();
StringMessage* getLocale();
bool isAgentCapableOfPolling();

// The one path every composed or logged diagnostic ends in: a text of an
// error-class type (-1, 6, 7) first becomes the calling thread's pending error
// text (JToCPPVeneer::recordErrorMsg), then it goes to the agent with the
// typed logMsg when typed is set (a null text too: the agent receives null),
// else with the untyped one (a null text is not sent).
void logComposed(const char* text, int type, bool typed);

// The library's own numbered messages, with the id, type and parameter count
// of their catalogue entry, flag 1 and no extra text; params is the already
// joined parameter text. "Report" composes, then logs the text untyped
// through logComposed; "compose" composes and drops the text.
void reportMessage(const Message& message, const char* params);
void composeMessage(const Message& message, const char* params);

// Forgets the cached encoding and locale and the event counters. Tests only.
void resetForTesting();

}  // namespace hbconnector::detail::upcall

#endif  // HBCONNECTOR_RUNTIME_UPCALLS_HPP_
