// The JVM of the JVM tests and a handle on the stand-in agent.
//
// One virtual machine per process (HotSpot cannot create a second), created
// on first use with -Xcheck:jni, the agent classes on the class path and the
// library named by -Dhbconnector.library. The test's main thread stays
// attached; every Agent call runs on it.
#ifndef HBCONNECTOR_TESTS_JVM_JVM_HARNESS_HPP_
#define HBCONNECTOR_TESTS_JVM_JVM_HARNESS_HPP_

#include <gtest/gtest.h>
#include <jni.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hbtest {

// The env of the calling thread (which must be the one that created the VM
// or one attached to it).
JNIEnv* jniEnv();

// One flattened record of the agent's log: its fields in declaration order.
using Row = std::vector<std::string>;

// A BusObjNativeInterface object with fresh settings and log. Java
// exceptions thrown by a call fail the current test.
class Agent {
 public:
  Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;
  ~Agent();

  // Native methods.
  int init(const char* version, const char* dllFileName);
  int terminate();
  int poll();
  std::optional<std::string> getVersion();
  std::optional<std::string> cdkVersion();
  std::optional<std::string> cjniVersion();
  void suspend();
  void resume();
  void setTraceLevel(int level);
  std::optional<std::string> perfMonitors();
  int subscribeTo(const char* name, const char* verb, int perf);
  int updateSubscription(const char* name, const char* verb, int perf);
  int cancelSub(const char* name, const char* version, const char* verb);
  bool isSubscribed(const char* name, const char* verb);
  // The verb's result, and the message the library gave the status object.
  int doVerbFor(const char* text, bool transactional, std::string* statusMessage);
  void gotBusObjSpec(const char* text);

  // Settings (null value: the agent answers null).
  void setConfigProp(const char* name, const char* value);
  void setEncoding(const char* encoding);
  void setDeltaSupport(const char* typeName, const char* answer);
  void setFailing(const char* method, bool failing);
  void setRecording(bool recording);
  void clearLog();

  // The log: "logs" (text, type), "traces" (connector, level, delimiter, text,
  // extra), "messages" (id, type, extra, flag, count, params, text), "events",
  // "syncCalls", "lookups" (method, name).
  std::vector<Row> rows(const char* list);
  long long upcallCount();

  // Whether a Java exception is pending (it is cleared and described).
  bool takeException();

  // The BusObjNativeInterface object (a global reference the Agent owns).
  jobject object() const { return agent_; }

 private:
  jobject agent_ = nullptr;
  jobject settings_ = nullptr;
  jobject log_ = nullptr;
};

// Live Java threads (including attached native threads).
int javaThreadCount();

// Paths of the test libraries, set by the build.
const char* connectorLibrary();
const char* unstampedLibrary();
const char* oldStampLibrary();    // 2.9.9
const char* exactThreeLibrary();  // 3.0.0

// Each test gets a fresh agent object and a reset test connector; a
// connector still running at the end is terminated.
class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  Agent& agent() { return *agent_; }
  // n_init with the compatible test connector.
  int start(const char* version = "4.1.0");
  // Records of the agent's log restricted to one message id / one text.
  std::vector<Row> messages(int id);
  bool logged(const std::string& text, const std::string& type = "<null>");
  // Traces whose text starts with prefix.
  std::vector<Row> traces(const std::string& prefix = "");

 private:
  std::unique_ptr<Agent> agent_;
};

}  // namespace hbtest

#endif  // HBCONNECTOR_TESTS_JVM_JVM_HARNESS_HPP_
