// A connector library whose handlers do real work, for the end-to-end verb
// tests: every business object type it is asked about (except those whose
// name starts with "Orphan", which get no handler) is kept in an in-memory
// table keyed by the object's key values. Create inserts, Retrieve fills the
// object from its row, Update replaces the row (or, for a delta, changes only
// the values the delta sets), Delete removes it. Each verb leaves a status
// message naming what it did ("created C1", "missing C9", ...). Types with a
// "Revision" attribute get it counted up by every Create and full Update.
//
// The connector object is made by install(), not when the library is loaded,
// so it does not displace the connector of other tests in the same process;
// install() makes it the current connector. Tests reset() it between cases.
#ifndef HBCONNECTOR_TESTS_JVM_VERB_CONNECTOR_HPP_
#define HBCONNECTOR_TESTS_JVM_VERB_CONNECTOR_HPP_

#include <map>
#include <optional>
#include <string>
#include <vector>

#define HB_VERB_CONNECTOR_EXPORT __attribute__((visibility("default")))

class ConnectorBase;

namespace verbconnector {

// What the handlers throw instead of working.
enum class Throw {
  kNothing,
  kInt,
  kCharPointer,
  kConstCharPointer,
  kOther,
  kStdException,
  kStdString
};

struct Behaviour {
  Throw toThrow = Throw::kNothing;
  int thrownInt = 7;
  std::optional<int> result;  // returned instead of the handler's own, after the work
};

// One doVerbFor call as the handler saw it: verb, delta flag, and every
// simple value "name=value;" in attribute order ("<ignore>" for unset ones).
struct Call {
  std::string verb;
  bool delta = false;
  std::string values;
};

// A table row: attribute name to value (blank values are empty texts).
using Row = std::map<std::string, std::string>;

// Makes the connector (once) and the current connector; returns it.
HB_VERB_CONNECTOR_EXPORT ConnectorBase* install();
// Empties the tables, the call record and the behaviour.
HB_VERB_CONNECTOR_EXPORT void reset();
HB_VERB_CONNECTOR_EXPORT Behaviour& behaviour();
HB_VERB_CONNECTOR_EXPORT std::vector<Call> calls();
// The rows of one type, by key.
HB_VERB_CONNECTOR_EXPORT std::map<std::string, Row> table(const std::string& type);
HB_VERB_CONNECTOR_EXPORT void putRow(const std::string& type, const std::string& key, Row row);

// Publishes an application event the way connector code does, from a new
// native thread: an object of `type` with its first attribute set to key, the
// verb, and an ObjectEventId when eventId is not null, handed to the
// subscription handler's gotApplEvent. Returns the result and stores the
// ObjectEventId the object held afterwards.
HB_VERB_CONNECTOR_EXPORT int publishFromThread(const char* type, const char* key, const char* verb,
                                               const char* eventId, std::string* idAfter);

}  // namespace verbconnector

#endif  // HBCONNECTOR_TESTS_JVM_VERB_CONNECTOR_HPP_
