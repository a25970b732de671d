// A recording stand-in for the Java agent, for every native test. FakeAgent
// answers the agent port from values the test sets and records every call,
// thread-safely. FakeAgentScope installs one, can start a TestConnector and a
// veneer, and on destruction deletes what it started and resets the process
// state (current veneer and connector, upcall caches, pending error, perf and
// trace levels, trace delimiter). Defaults: no properties, encoding "ascii7",
// locale "en_US", delta support "false", consumeSync echoes its texts.
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

  // The text a generateMsg call answers: "MSG <id> (<type>): <params>".
  static std::string composedText(int id, int type, const std::string& params);

  // --- Configuration (any time, from any thread) ---
  void setProperty(const std::string& name, const std::string& value) {
    store(properties_[name], value);
  }
  void removeProperty(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    properties_.erase(name);
  }
  // nullopt: the agent answers null.
  void setEncoding(std::optional<std::string> encoding) { store(encoding_, encoding); }
  void setLocale(std::optional<std::string> locale) { store(locale_, locale); }
  void setDeltaSupport(const std::string& boName, std::optional<std::string> answer) {
    store(deltaSupport_[boName], answer);
  }
  void setConsumeSyncReply(ConsumeSyncReply reply) { store(consumeSyncReply_, reply); }
  // Replaces the texts (nullopt: that bucket holds no string, the call fails).
  void setConsumeSyncTexts(std::optional<std::string> boText,
                           std::optional<std::string> statusText);
  void setCollabNames(std::optional<std::string> names) { store(collabNames_, names); }
  void setCapableOfPolling(bool capable) { store(capableOfPolling_, capable); }
  // false: generateMsg answers null.
  void setGenerateAnswers(bool answers) { store(generateAnswers_, answers); }
  void setCallHook(CallHook hook) { store(callHook_, hook); }

  // --- Records (copies) ---
  // Every call in order, e.g. "getConfigProp ConnectorName", "logMsg typed",
  // "generateMsg 80404", "gotEventFromApp bytes", "consumeSync <name>".
  std::vector<std::string> calls() const { return copy(calls_); }
  std::vector<LogRecord> logs() const { return copy(logs_); }
  std::vector<TraceRecord> traces() const { return copy(traces_); }
  std::vector<GenerateRecord> generated() const { return copy(generated_); }
  std::vector<GenerateRecord> generated(int id) const;  // only those for message id
  std::vector<EventRecord> events() const { return copy(events_); }
  std::vector<ConsumeSyncRecord> consumeSyncs() const { return copy(consumeSyncs_); }
  std::vector<ConfigLookup> configLookups() const { return copy(configLookups_); }
  std::vector<std::string> deltaLookups() const { return copy(deltaLookups_); }
  // How often a call was made (by its description in calls()).
  int callCount(const std::string& call) const;
  // Forgets every record; the configuration stays.
  void clearRecords();

  // --- AgentPort ---
  bool available() override { return true; }
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
  template <typename T, typename V>
  void store(T& slot, V value) {
    std::lock_guard<std::mutex> lock(mutex_);
    slot = std::move(value);
  }
  template <typename T>
  T copy(const T& records) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records;
  }

  mutable std::mutex mutex_;
  std::map<std::string, std::string> properties_;
  std::optional<std::string> encoding_ = std::string("ascii7");
  std::optional<std::string> locale_ = std::string("en_US");
  std::map<std::string, std::optional<std::string>> deltaSupport_;
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

class FakeAgentScope {
 public:
  FakeAgentScope();
  FakeAgentScope(const FakeAgentScope&) = delete;
  FakeAgentScope& operator=(const FakeAgentScope&) = delete;
  ~FakeAgentScope();

  FakeAgent& agent() { return agent_; }

  // A TestConnector owned by the scope; a second call replaces the first.
  TestConnector& startConnector();
  TestConnector* connector() { return connector_; }

  // A veneer over a new SubscriptionHandlerCPP, as start-up makes it (it reads
  // its properties now); a second call deletes the first veneer.
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
