// A connector library whose handlers keep an in-memory table per type (types
// named "Orphan*" get no handler): Create inserts, Retrieve fills, Update
// replaces (a delta changes only what it sets), Delete removes, each leaving a
// status message ("created C1", "missing C9"); a "Revision" attribute counts up
// on Create and full Update. install() makes it the current connector.
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

// One doVerbFor call: verb, delta flag, and "name=value;" per simple value.
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

// Publishes an event (type, key, verb, optional ObjectEventId) from a new
// native thread; returns the result and the ObjectEventId it held afterwards.
HB_VERB_CONNECTOR_EXPORT int publishFromThread(const char* type, const char* key, const char* verb,
                                               const char* eventId, std::string* idAfter);

}  // namespace verbconnector

#endif  // HBCONNECTOR_TESTS_JVM_VERB_CONNECTOR_HPP_
