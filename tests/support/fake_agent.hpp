// A recording stand-in for the Java agent, for every native test.
//
// FakeAgent implements the agent port: it answers the library's calls from
// values the test configures (properties, encoding, locale, delta support,
// event results, consumeSync replies, collaboration names) and records every
// call with its arguments (logs, trace lines, generateMsg calls, events,
// consumeSync requests, property lookups). All of it is thread-safe: tests
// may drive the library from several threads and read the records afterwards.
//
// FakeAgentScope is the RAII fixture most tests want. It installs a fresh
// FakeAgent as the agent port, can start a TestConnector and a veneer, and
// restores a clean process state when it goes away:
//
//   TEST(MyArea, Something) {
//     hbconnector::test::FakeAgentScope scope;
//     scope.agent().setProperty("AgentTraceLevel", "5");   // before startVeneer
//     scope.startConnector();                               // optional
//     JToCPPVeneer& veneer = scope.startVeneer();           // reads the properties now
//     ... exercise the library ...
//     EXPECT_EQ(scope.agent().logs().size(), 1u);
//   }
//
// What the scope restores on destruction: the veneer it started is deleted;
// the current veneer and the current connector are cleared (whoever made
// them); the connector it started is deleted; the agent port override is
// removed; the cached encoding, locale and event-id state are forgotten
// (upcall::resetForTesting); the calling thread's pending error text is
// cleared; the performance level, TRACE_LEVEL0 and the trace delimiter are
// back at 0, 0 and ",". The process-wide performance monitor set cannot be
// emptied: tests look for their own monitors in it, never at its size.
//
// Default answers of a fresh FakeAgent: available; no properties; encoding
// "ascii7" (so the text forms of property lookups and events are used);
// locale "en_US"; delta support "false" for every type; event result 0;
// consumeSync echoes both texts unchanged; collaboration names ""; not
// capable of polling; generateMsg answers composedText(id, type, params).
#ifndef HBCONNECTOR_TESTS_SUPPORT_FAKE_AGENT_HPP_
#define HBCONNECTOR_TESTS_SUPPORT_FAKE_AGENT_HPP_

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hbconnector/connector.hpp"
#include "runtime/agent_port.hpp"

class BOHandlerBase;
class Version;

namespace hbconnector::test {

class FakeAgent : public hbconnector::detail::AgentPort {
 public:
  // One call of either logMsg method. typed is false for the one-argument
  // form (type then 0).
  struct LogRecord {
    std::string text;
    bool typed = false;
    int type = 0;
  };
  // One TraceWrite call. The has* flags tell a null text from an empty one.
  struct TraceRecord {
    std::string connectorName;
    bool hasConnectorName = false;
    int level = 0;
    std::string delimiter;
    std::string text;
    bool hasText = false;
    std::string extra;
    bool hasExtra = false;
  };
  // One generateMsg call with all six arguments.
  struct GenerateRecord {
    int id = 0;
    int type = 0;
    std::string extra;
    bool hasExtra = false;
    int flag = 0;
    int count = 0;
    std::string params;
  };
  // One GotEventFromApp call. For the byte-array form, data holds exactly
  // the bytes sent (a trailing zero byte included when one was sent).
  struct EventRecord {
    bool byteArray = false;
    std::string data;
    std::string encoding;
  };
  struct ConsumeSyncRecord {
    std::string name;
    std::string boText;
    std::string statusText;
  };
  // One property lookup; i18n tells getConfigPropI18n from getConfigProp.
  struct ConfigLookup {
    std::string name;
    bool i18n = false;
  };
  // Computes the consumeSync answer: may change both texts; returning false
  // means a bucket held no string afterwards.
  using ConsumeSyncReply =
      std::function<bool(const std::string& name, std::string* boText, std::string* statusText)>;
  // Called (without the fake's lock held) at the start of every call with
  // the call's description as recorded in calls().
  using CallHook = std::function<void(const std::string& call)>;

  FakeAgent();

  // The text a generateMsg call answers: "MSG <id> (<type>): <params>".
  static std::string composedText(int id, int type, const std::string& params);

  // --- Configuration (any time, from any thread) ---
  // false makes available() false; the other calls still answer as configured.
  void setAvailable(bool available);
  void setProperty(const std::string& name, const std::string& value);
  // The property then has no value: lookups answer null.
  void removeProperty(const std::string& name);
  // nullopt: the agent answers null.
  void setEncoding(std::optional<std::string> encoding);
  void setLocale(std::optional<std::string> locale);
  // The answer to getDeltaSupport for one type name (nullopt: null answer).
  void setDeltaSupport(const std::string& boName, std::optional<std::string> answer);
  void setEventResult(int result);
  void setConsumeSyncReply(ConsumeSyncReply reply);
  // Shorthand: replaces the texts with the given ones (nullopt: that bucket
  // holds no string, and the call reports failure).
  void setConsumeSyncTexts(std::optional<std::string> boText,
                           std::optional<std::string> statusText);
  void setCollabNames(std::optional<std::string> names);
  void setCapableOfPolling(bool capable);
  // false: generateMsg answers null.
  void setGenerateAnswers(bool answers);
  void setCallHook(CallHook hook);

  // --- Records (copies, safe to keep) ---
  // Every call in order, e.g. "getConfigProp ConnectorName",
  // "getConfigPropI18n PerfLevel", "getDeltaSupport Customer", "logMsg",
  // "logMsg typed", "traceWrite", "generateMsg 80404", "gotEventFromApp",
  // "gotEventFromApp bytes", "consumeSync <name>", "getCollabNames",
  // "getEncoding", "getLocale", "isAgentCapableOfPolling".
  std::vector<std::string> calls() const;
  std::vector<LogRecord> logs() const;
  std::vector<TraceRecord> traces() const;
  std::vector<GenerateRecord> generated() const;
  // Only the generateMsg calls for message id.
  std::vector<GenerateRecord> generated(int id) const;
  std::vector<EventRecord> events() const;
  std::vector<ConsumeSyncRecord> consumeSyncs() const;
  std::vector<ConfigLookup> configLookups() const;
  std::vector<std::string> deltaLookups() const;
  // How often a call was made (by its description in calls()).
  int callCount(const std::string& call) const;
  // Forgets every record; the configuration stays.
  void clearRecords();

  // --- AgentPort ---
  bool available() override;
  int getConfigProp(const char* name, char* buffer, int size) override;
  int getConfigPropI18n(const char* name, char* buffer, int size) override;
  int getDeltaSupport(const char* boName, char* buffer, int size) override;
  void logMsg(const char* text) override;
  void logMsg(const char* text, int type) override;
  void traceWrite(const char* connectorName, int level, const char* delimiter, const char* text,
                  const char* extra) override;
  char* generateMsg(int id, int type, const char* extra, int flag, int count,
                    const char* params) override;
  int gotEventFromApp(const char* text) override;
  int gotEventFromApp(const char* bytes, std::size_t length, const char* encoding) override;
  bool consumeSync(const char* name, std::string* boText, std::string* statusText) override;
  bool getCollabNames(std::string* names) override;
  bool getEncoding(std::string* encoding) override;
  bool getLocale(std::string* locale) override;
  bool isAgentCapableOfPolling() override;

 private:
  void noteCall(const std::string& call);
  int lookup(const char* name, bool i18n, char* buffer, int size);
  static int copyAnswer(const std::optional<std::string>& answer, char* buffer, int size);

  mutable std::mutex mutex_;
  bool available_ = true;
  std::map<std::string, std::string> properties_;
  std::optional<std::string> encoding_ = std::string("ascii7");
  std::optional<std::string> locale_ = std::string("en_US");
  std::map<std::string, std::optional<std::string>> deltaSupport_;
  int eventResult_ = 0;
  ConsumeSyncReply consumeSyncReply_;
  std::optional<std::string> collabNames_ = std::string();
  bool capableOfPolling_ = false;
  bool generateAnswers_ = true;
  CallHook callHook_;

  std::vector<std::string> calls_;
  std::vector<LogRecord> logs_;
  std::vector<TraceRecord> traces_;
  std::vector<GenerateRecord> generated_;
  std::vector<EventRecord> events_;
  std::vector<ConsumeSyncRecord> consumeSyncs_;
  std::vector<ConfigLookup> configLookups_;
  std::vector<std::string> deltaLookups_;
};

// A connector for tests: records its calls and answers with configurable
// results. Constructing it makes it the current connector. Set the public
// members before the runtime calls the connector.
class TestConnector : public ConnectorBase {
 public:
  // Results of the lifecycle calls.
  int initResult = 1;
  int pollResult = 0;
  int terminateResult = 0;
  std::string version = "1.0.0";
  // When set, run instead of returning the fixed result (e.g. to sleep, to
  // throw, or to call back into the runtime).
  std::function<int()> onInit;
  std::function<int()> onPoll;
  // Handlers returned by getBOHandlerForBO by type name (null when absent).
  std::map<std::string, BOHandlerBase*> handlers;

  std::atomic<int> initCalls{0};
  std::atomic<int> pollCalls{0};
  std::atomic<int> terminateCalls{0};
  std::atomic<int> suspendCalls{0};
  std::atomic<int> resumeCalls{0};
  std::atomic<Version*> lastInitVersion{nullptr};

  BOHandlerBase* getBOHandlerForBO(const char* typeName) override;
  int init(Version* version) override;
  int pollForEvents() override;
  int terminate() override;
  const char* getVersion() override { return version.c_str(); }
  void suspend() override { ++suspendCalls; }
  void resume() override { ++resumeCalls; }
};

// The RAII fixture described in the file comment. Not copyable; one at a time.
class FakeAgentScope {
 public:
  FakeAgentScope();
  FakeAgentScope(const FakeAgentScope&) = delete;
  FakeAgentScope& operator=(const FakeAgentScope&) = delete;
  ~FakeAgentScope();

  FakeAgent& agent() { return agent_; }

  // Constructs a TestConnector owned by the scope (it becomes the current
  // connector). A second call replaces the first (the old one is deleted).
  TestConnector& startConnector();
  TestConnector* connector() { return connector_; }

  // Creates a SubscriptionHandlerCPP and a JToCPPVeneer over it, as start-up
  // does; the veneer becomes current and reads "ConnectorName",
  // "AgentTraceLevel" and "PerfLevel" from the fake now. The agent reference
  // the veneer holds is the fake's address. A second call deletes the first
  // veneer before it makes the new one.
  JToCPPVeneer& startVeneer();
  JToCPPVeneer* veneer() { return veneer_; }
  // Deletes the veneer now (as terminate does).
  void stopVeneer();

 private:
  FakeAgent agent_;
  TestConnector* connector_ = nullptr;
  JToCPPVeneer* veneer_ = nullptr;
};

}  // namespace hbconnector::test

#endif  // HBCONNECTOR_TESTS_SUPPORT_FAKE_AGENT_HPP_
