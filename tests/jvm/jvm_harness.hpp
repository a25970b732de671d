// The one JVM of the JVM tests (-Xcheck:jni, agent classes on the class path),
// created on first use, and a handle on the stand-in agent.
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

// A Java string argument (null gives null) and a string result.
jvalue S(const char* text);
std::optional<std::string> javaText(jobject value);
// Calls a method of target by name and JNI signature; a Java exception fails
// the current test.
jvalue invoke(jobject target, const char* name, const char* signature,
              std::initializer_list<jvalue> args = {});

using hbconnector::test::bars;
using hbconnector::test::prefixed;
using hbconnector::test::split;

// A length-prefixed specification record with the verbs Create, Retrieve,
// Update and Delete. attrs lists "Name" or "Name:Type" (String when no type)
// separated by '|'; the first one is the key.
std::string specRecord(const std::string& name, const std::string& attrs,
                       const std::string& appInfo = "\x05");

// One flattened record of the agent's log: its fields in declaration order.
using Row = std::vector<std::string>;

// A verb request's result, the bucket's content and the status message.
struct Outcome {
  int status = 0;
  std::optional<std::string> content;
  std::optional<std::string> message;
};

// A BusObjNativeInterface object with fresh settings and log. Local
// references it makes live until the end of the test (see AgentTest).
class Agent {
 public:
  Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;
  ~Agent();

  // Calls a method of the agent object, its settings or its log.
  jvalue call(const char* name, const char* signature, std::initializer_list<jvalue> args = {}) {
    return invoke(agent_, name, signature, args);
  }
  void setting(const char* name, const char* signature, std::initializer_list<jvalue> args) {
    invoke(settings_, name, signature, args);
  }
  jvalue onLog(const char* name, const char* signature, std::initializer_list<jvalue> args = {}) {
    return invoke(log_, name, signature, args);
  }

  // The native methods.
  int init(const char* version, const char* dllFileName) {
    return call("n_init", "(" HB_STR HB_STR ")I", {S(version), S(dllFileName)}).i;
  }
  int terminate() { return call("n_terminate", "()I").i; }
  int poll() { return call("n_poll", "()I").i; }
  // n_getVersion, n_CDKVersion, n_CJNIVersion or n_getPerfMonitors.
  std::optional<std::string> text(const char* native) {
    return javaText(call(native, "()" HB_STR).l);
  }
  void suspend() { call("n_suspend", "()V"); }
  void resume() { call("n_resume", "()V"); }
  void setTraceLevel(int level) { call("n_setTraceLevel", "(I)V", {{.i = level}}); }
  int subscribeTo(const char* name, const char* verb, int perf) {
    return call("n_SubscribeTo", "(" HB_STR HB_STR "I)I", {S(name), S(verb), {.i = perf}}).i;
  }
  int updateSubscription(const char* name, const char* verb, int perf) {
    return call("n_UpdateSubscription", "(" HB_STR HB_STR HB_STR "I)I",
                {S(name), S(verb), S("ignored"), {.i = perf}})
        .i;
  }
  int cancelSub(const char* name, const char* version, const char* verb) {
    return call("n_CancelSub", "(" HB_STR HB_STR HB_STR ")I", {S(name), S(version), S(verb)}).i;
  }
  bool isSubscribed(const char* name, const char* verb) {
    return call("n_isSubscribed", "(" HB_STR HB_STR ")Z", {S(name), S(verb)}).z == JNI_TRUE;
  }
  void gotBusObjSpec(const std::string& text) {
    call("n_gotBusObjSpec", "(" HB_STR ")V", {S(text.c_str())});
  }
  void gotBusObjSpecI18n(const std::string& bytes);
  // n_DoVerbForI18n when bytes, else n_DoVerbFor (content given in modified
  // UTF-8); a null content leaves the bucket empty.
  Outcome verb(const char* content, std::size_t length, bool bytes, bool transactional = false);
  Outcome byteVerb(const std::string& content) {
    return verb(content.data(), content.size(), true);
  }
  Outcome textVerb(const std::string& content, bool transactional = false) {
    return verb(content.c_str(), content.size(), false, transactional);
  }

  // Settings.
  void setConfigProp(const char* name, const char* value) {
    setting("setConfigProp", "(" HB_STR HB_STR ")" HB_SETTINGS, {S(name), S(value)});
  }
  void setDeltaSupport(const char* type, const char* answer) {
    setting("setDeltaSupport", "(" HB_STR HB_STR ")" HB_SETTINGS, {S(type), S(answer)});
  }
  void setFailing(const char* method, bool failing) {
    setting("setFailing", "(" HB_STR "Z)" HB_SETTINGS, {S(method), {.z = failing}});
  }

  // The log: "logs" (text, type), "traces" (connector, level, delimiter, text,
  // extra), "messages" (id, type, extra, flag, count, params, text), "events"
  // (text, bytes in hexadecimal, encoding), "syncCalls" (name, object,
  // status), "lookups" (method, name).
  std::vector<Row> rows(const char* list);
  void clearLog() { onLog("clear", "()V"); }
  void setRecording(bool on) { onLog("setRecording", "(Z)V", {{.z = on}}); }
  long long upcallCount() { return onLog("upcallCount", "()J").j; }

  // Live Java threads (including attached native threads).
  int threadCount() { return invoke(support_, "threadCount", "()I").i; }
  // Whether a Java exception is pending (it is cleared).
  bool takeException();

 private:
  jobject agent_ = nullptr;
  jobject settings_ = nullptr;
  jobject log_ = nullptr;
  jobject support_ = nullptr;  // an HbTestSupport
};

// A fresh agent and test connector per test, in a local frame of its own (the
// test thread never returns to Java); a running connector is terminated.
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
