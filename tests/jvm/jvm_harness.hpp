// The JVM of the JVM tests and a handle on the stand-in agent.
//
// One virtual machine per process (HotSpot cannot create a second), created
// on first use with -Xcheck:jni, the agent classes on the class path and the
// library named by -Dhbconnector.library. The test's main thread stays
// attached; every Agent call runs on it, inside a local frame of its own (the
// thread never returns to Java, so nothing else would free local references).
#ifndef HBCONNECTOR_TESTS_JVM_JVM_HARNESS_HPP_
#define HBCONNECTOR_TESTS_JVM_JVM_HARNESS_HPP_

#include <gtest/gtest.h>
#include <jni.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/record_text.hpp"

#define HB_STR "Ljava/lang/String;"
#define HB_SETTINGS "LAppSide_Connector/AgentSettings;"

namespace hbtest {

// The env of the calling thread (the one that created the VM).
JNIEnv* jniEnv();

// Pushes a local frame for its lifetime.
class Frame {
 public:
  Frame() { jniEnv()->PushLocalFrame(64); }
  ~Frame() { jniEnv()->PopLocalFrame(nullptr); }
};

// Argument makers for Agent::call (a null text passes null).
jvalue S(const char* text);
jvalue I(int value);
jvalue Z(bool value);
jvalue L(jobject value);
std::optional<std::string> javaText(jobject value);

using hbconnector::test::bars;
using hbconnector::test::prefixed;
using hbconnector::test::split;

// A length-prefixed specification record with the verbs Create, Retrieve,
// Update and Delete; attributes are {name, type}, the first one the key.
std::string specRecord(const std::string& name,
                       const std::vector<std::pair<std::string, std::string>>& attrs,
                       const std::string& appInfo = "\x05");

// One flattened record of the agent's log: its fields in declaration order.
using Row = std::vector<std::string>;

// What a verb request left: the native's result, the bucket's content (text
// or bytes; nullopt when none) and the status object's message (nullopt when
// none was given).
struct Outcome {
  int status = 0;
  std::optional<std::string> content;
  std::optional<std::string> message;
};

// A BusObjNativeInterface object with fresh settings and log. Java
// exceptions thrown by a call fail the current test.
class Agent {
 public:
  Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;
  ~Agent();

  // Calls a method of the agent object, its settings or its log by name and
  // JNI signature; object arguments and results belong to the caller's Frame.
  jvalue call(const char* name, const char* signature, std::initializer_list<jvalue> args = {});
  void setting(const char* name, const char* signature, std::initializer_list<jvalue> args);
  jvalue onLog(const char* name, const char* signature, std::initializer_list<jvalue> args = {});

  // The native methods.
  int init(const char* version, const char* dllFileName);
  int terminate() { return call("n_terminate", "()I").i; }
  int poll() { return call("n_poll", "()I").i; }
  std::optional<std::string> text(const char* native);  // n_getVersion, n_CDKVersion, ...
  void suspend() { call("n_suspend", "()V"); }
  void resume() { call("n_resume", "()V"); }
  void setTraceLevel(int level) { call("n_setTraceLevel", "(I)V", {I(level)}); }
  int subscribeTo(const char* name, const char* verb, int perf);
  int updateSubscription(const char* name, const char* verb, int perf);
  int cancelSub(const char* name, const char* version, const char* verb);
  bool isSubscribed(const char* name, const char* verb);
  void gotBusObjSpec(const std::string& text);
  void gotBusObjSpecI18n(const std::string& bytes);
  // n_DoVerbForI18n when bytes, else n_DoVerbFor (content given in modified
  // UTF-8); a null content leaves the bucket empty.
  Outcome verb(const char* content, std::size_t length, bool bytes, bool transactional = false);
  Outcome textVerb(const std::string& content, bool transactional = false) {
    return verb(content.c_str(), content.size(), false, transactional);
  }
  Outcome byteVerb(const std::string& content, bool transactional = false) {
    return verb(content.data(), content.size(), true, transactional);
  }

  // Settings.
  void setConfigProp(const char* name, const char* value) {
    Frame f;
    setting("setConfigProp", "(" HB_STR HB_STR ")" HB_SETTINGS, {S(name), S(value)});
  }
  void setFailing(const char* method, bool failing) {
    Frame f;
    setting("setFailing", "(" HB_STR "Z)" HB_SETTINGS, {S(method), Z(failing)});
  }

  // The log: "logs" (text, type), "traces" (connector, level, delimiter, text,
  // extra), "messages" (id, type, extra, flag, count, params, text), "events"
  // (text, bytes in hexadecimal, encoding), "syncCalls", "lookups" (method, name).
  std::vector<Row> rows(const char* list);
  void clearLog() { onLog("clear", "()V"); }
  void setRecording(bool on) { onLog("setRecording", "(Z)V", {Z(on)}); }
  long long upcallCount() { return onLog("upcallCount", "()J").j; }

  // Whether a Java exception is pending (it is cleared).
  bool takeException();

 private:
  jobject agent_ = nullptr;
  jobject settings_ = nullptr;
  jobject log_ = nullptr;
};

// Live Java threads (including attached native threads).
int javaThreadCount();

// Each test gets a fresh agent object and a reset test connector; a
// connector still running at the end is terminated.
class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  Agent& agent() { return *agent_; }
  // n_init with the compatible test connector (stamped 4.1.0).
  int start(const char* version = "4.1.0") {
    return agent_->init(version, HB_TEST_CONNECTOR_LIBRARY);
  }
  // The agent's log restricted to one message id / one text and type /
  // traces whose text starts with prefix.
  std::vector<Row> messages(int id);
  bool logged(const std::string& text, const std::string& type = "<null>");
  std::vector<Row> traces(const std::string& prefix = "");

 private:
  std::unique_ptr<Agent> agent_;
};

}  // namespace hbtest

#endif  // HBCONNECTOR_TESTS_JVM_JVM_HARNESS_HPP_
