#include "jvm_harness.hpp"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_connector.hpp"

#if defined(__SANITIZE_ADDRESS__)
// The VM keeps memory for its whole life that the leak checker cannot trace;
// leaks are looked for in everything else.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:os::malloc\nleak:os::realloc\nleak:os::strdup\nleak:libjli.so\nleak:libz.so\n";
}
#endif

namespace hbtest {
namespace {

JavaVM* createVm() {
  static std::string classPath =
      std::string("-Djava.class.path=") + HB_TEST_AGENT_JAR + ":" + HB_TEST_SUPPORT_JAR;
  static std::string library = std::string("-Dhbconnector.library=") + HB_TEST_LIBRARY;
  JavaVMOption options[] = {
      {const_cast<char*>(classPath.c_str()), nullptr},
      {const_cast<char*>(library.c_str()), nullptr},
      {const_cast<char*>("-Xcheck:jni"), nullptr},
      {const_cast<char*>("-Xmx512m"), nullptr},
      {const_cast<char*>("-XX:+UseSerialGC"), nullptr},
  };
  JavaVMInitArgs args{};
  args.version = JNI_VERSION_1_8;
  args.nOptions = sizeof options / sizeof options[0];
  args.options = options;
  args.ignoreUnrecognized = JNI_FALSE;
  JavaVM* vm = nullptr;
  JNIEnv* env = nullptr;
  if (JNI_CreateJavaVM(&vm, reinterpret_cast<void**>(&env), &args) != JNI_OK) {
    std::fprintf(stderr, "cannot create the Java virtual machine\n");
    std::abort();
  }
  return vm;
}

// Every harness call runs in its own local frame, so the test thread (which
// never returns to Java) does not collect local references.
class Frame {
 public:
  Frame() : env_(jniEnv()) { env_->PushLocalFrame(64); }
  ~Frame() { env_->PopLocalFrame(nullptr); }
  JNIEnv* env() const { return env_; }

 private:
  JNIEnv* env_;
};

void failOnException(JNIEnv* env, const char* what) {
  if (!env->ExceptionCheck()) return;
  env->ExceptionDescribe();
  env->ExceptionClear();
  ADD_FAILURE() << "Java exception in " << what;
}

jclass findClass(JNIEnv* env, const char* name) {
  jclass cls = env->FindClass(name);
  failOnException(env, name);
  return cls;
}

std::optional<std::string> text(JNIEnv* env, jobject value) {
  if (value == nullptr) return std::nullopt;
  const char* chars = env->GetStringUTFChars(static_cast<jstring>(value), nullptr);
  std::string out(chars);
  env->ReleaseStringUTFChars(static_cast<jstring>(value), chars);
  return out;
}

constexpr char AGENT_CLASS[] = "AppSide_Connector/BusObjNativeInterface";

}  // namespace

JNIEnv* jniEnv() {
  static JavaVM* vm = createVm();
  void* env = nullptr;
  vm->GetEnv(&env, JNI_VERSION_1_8);
  return static_cast<JNIEnv*>(env);
}

Agent::Agent() {
  Frame f;
  JNIEnv* env = f.env();
  jclass cls = findClass(env, AGENT_CLASS);
  jobject agent = env->NewObject(cls, env->GetMethodID(cls, "<init>", "()V"));
  failOnException(env, "new BusObjNativeInterface");
  agent_ = env->NewGlobalRef(agent);
  jobject settings = env->CallObjectMethod(
      agent, env->GetMethodID(cls, "settings", "()LAppSide_Connector/AgentSettings;"));
  failOnException(env, "settings");
  settings_ = env->NewGlobalRef(settings);
  jobject log =
      env->CallObjectMethod(agent, env->GetMethodID(cls, "log", "()LAppSide_Connector/UpcallLog;"));
  failOnException(env, "log");
  log_ = env->NewGlobalRef(log);
  failOnException(env, "agent set-up");
}

Agent::~Agent() {
  JNIEnv* env = jniEnv();
  env->DeleteGlobalRef(agent_);
  env->DeleteGlobalRef(settings_);
  env->DeleteGlobalRef(log_);
}

namespace {

jmethodID agentMethod(JNIEnv* env, const char* name, const char* signature) {
  jclass cls = findClass(env, AGENT_CLASS);
  jmethodID id = env->GetMethodID(cls, name, signature);
  failOnException(env, name);
  return id;
}

jstring str(JNIEnv* env, const char* s) { return s != nullptr ? env->NewStringUTF(s) : nullptr; }

}  // namespace

int Agent::init(const char* version, const char* dllFileName) {
  Frame f;
  JNIEnv* env = f.env();
  const jint r = env->CallIntMethod(
      agent_, agentMethod(env, "n_init", "(Ljava/lang/String;Ljava/lang/String;)I"),
      str(env, version), str(env, dllFileName));
  failOnException(env, "n_init");
  return r;
}

#define HB_INT_NATIVE(Method, name)                                           \
  int Agent::Method() {                                                       \
    Frame f;                                                                  \
    JNIEnv* env = f.env();                                                    \
    const jint r = env->CallIntMethod(agent_, agentMethod(env, name, "()I")); \
    failOnException(env, name);                                               \
    return r;                                                                 \
  }
HB_INT_NATIVE(terminate, "n_terminate")
HB_INT_NATIVE(poll, "n_poll")
#undef HB_INT_NATIVE

#define HB_STRING_NATIVE(Method, name)                                                         \
  std::optional<std::string> Agent::Method() {                                                 \
    Frame f;                                                                                   \
    JNIEnv* env = f.env();                                                                     \
    jobject r = env->CallObjectMethod(agent_, agentMethod(env, name, "()Ljava/lang/String;")); \
    failOnException(env, name);                                                                \
    return text(env, r);                                                                       \
  }
HB_STRING_NATIVE(getVersion, "n_getVersion")
HB_STRING_NATIVE(cdkVersion, "n_CDKVersion")
HB_STRING_NATIVE(cjniVersion, "n_CJNIVersion")
HB_STRING_NATIVE(perfMonitors, "n_getPerfMonitors")
#undef HB_STRING_NATIVE

void Agent::suspend() {
  Frame f;
  f.env()->CallVoidMethod(agent_, agentMethod(f.env(), "n_suspend", "()V"));
  failOnException(f.env(), "n_suspend");
}

void Agent::resume() {
  Frame f;
  f.env()->CallVoidMethod(agent_, agentMethod(f.env(), "n_resume", "()V"));
  failOnException(f.env(), "n_resume");
}

void Agent::setTraceLevel(int level) {
  Frame f;
  f.env()->CallVoidMethod(agent_, agentMethod(f.env(), "n_setTraceLevel", "(I)V"), level);
  failOnException(f.env(), "n_setTraceLevel");
}

int Agent::subscribeTo(const char* name, const char* verb, int perf) {
  Frame f;
  JNIEnv* env = f.env();
  const jint r = env->CallIntMethod(
      agent_, agentMethod(env, "n_SubscribeTo", "(Ljava/lang/String;Ljava/lang/String;I)I"),
      str(env, name), str(env, verb), perf);
  failOnException(env, "n_SubscribeTo");
  return r;
}

int Agent::updateSubscription(const char* name, const char* verb, int perf) {
  Frame f;
  JNIEnv* env = f.env();
  const jint r =
      env->CallIntMethod(agent_,
                         agentMethod(env, "n_UpdateSubscription",
                                     "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;I)I"),
                         str(env, name), str(env, verb), str(env, "ignored"), perf);
  failOnException(env, "n_UpdateSubscription");
  return r;
}

int Agent::cancelSub(const char* name, const char* version, const char* verb) {
  Frame f;
  JNIEnv* env = f.env();
  const jint r = env->CallIntMethod(
      agent_,
      agentMethod(env, "n_CancelSub", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)I"),
      str(env, name), str(env, version), str(env, verb));
  failOnException(env, "n_CancelSub");
  return r;
}

bool Agent::isSubscribed(const char* name, const char* verb) {
  Frame f;
  JNIEnv* env = f.env();
  const jboolean r = env->CallBooleanMethod(
      agent_, agentMethod(env, "n_isSubscribed", "(Ljava/lang/String;Ljava/lang/String;)Z"),
      str(env, name), str(env, verb));
  failOnException(env, "n_isSubscribed");
  return r == JNI_TRUE;
}

int Agent::doVerbFor(const char* content, bool transactional, std::string* statusMessage) {
  Frame f;
  JNIEnv* env = f.env();
  jclass bucketClass = findClass(env, "AppSide_Connector/StringBucket");
  jobject bucket =
      env->NewObject(bucketClass, env->GetMethodID(bucketClass, "<init>", "(Ljava/lang/String;)V"),
                     str(env, content));
  jclass statusClass = findClass(env, "VqCommon/ReturnStatusDescriptor");
  jobject status = env->NewObject(statusClass, env->GetMethodID(statusClass, "<init>", "()V"));
  const jint r = env->CallIntMethod(
      agent_,
      agentMethod(env, "n_DoVerbFor",
                  "(LAppSide_Connector/StringBucket;ZLVqCommon/ReturnStatusDescriptor;)I"),
      bucket, transactional ? JNI_TRUE : JNI_FALSE, status);
  failOnException(env, "n_DoVerbFor");
  jobject message = env->CallObjectMethod(
      status, env->GetMethodID(statusClass, "getErrorString", "()Ljava/lang/String;"));
  failOnException(env, "getErrorString");
  if (statusMessage != nullptr) *statusMessage = text(env, message).value_or("<null>");
  return r;
}

void Agent::gotBusObjSpec(const char* spec) {
  Frame f;
  f.env()->CallVoidMethod(agent_, agentMethod(f.env(), "n_gotBusObjSpec", "(Ljava/lang/String;)V"),
                          str(f.env(), spec));
  failOnException(f.env(), "n_gotBusObjSpec");
}

namespace {

void callSettings(jobject settings, const char* name, const char* signature, ...) {
  Frame f;
  JNIEnv* env = f.env();
  jclass cls = env->GetObjectClass(settings);
  jmethodID id = env->GetMethodID(cls, name, signature);
  failOnException(env, name);
  va_list args;
  va_start(args, signature);
  env->CallObjectMethodV(settings, id, args);
  va_end(args);
  failOnException(env, name);
}

}  // namespace

void Agent::setConfigProp(const char* name, const char* value) {
  Frame f;
  callSettings(settings_, "setConfigProp",
               "(Ljava/lang/String;Ljava/lang/String;)LAppSide_Connector/AgentSettings;",
               str(f.env(), name), str(f.env(), value));
}

void Agent::setEncoding(const char* encoding) {
  Frame f;
  callSettings(settings_, "setEncoding", "(Ljava/lang/String;)LAppSide_Connector/AgentSettings;",
               str(f.env(), encoding));
}

void Agent::setDeltaSupport(const char* typeName, const char* answer) {
  Frame f;
  callSettings(settings_, "setDeltaSupport",
               "(Ljava/lang/String;Ljava/lang/String;)LAppSide_Connector/AgentSettings;",
               str(f.env(), typeName), str(f.env(), answer));
}

void Agent::setFailing(const char* method, bool failing) {
  Frame f;
  callSettings(settings_, "setFailing", "(Ljava/lang/String;Z)LAppSide_Connector/AgentSettings;",
               str(f.env(), method), failing ? JNI_TRUE : JNI_FALSE);
}

void Agent::setRecording(bool recording) {
  Frame f;
  JNIEnv* env = f.env();
  env->CallVoidMethod(log_, env->GetMethodID(env->GetObjectClass(log_), "setRecording", "(Z)V"),
                      recording ? JNI_TRUE : JNI_FALSE);
  failOnException(env, "setRecording");
}

void Agent::clearLog() {
  Frame f;
  JNIEnv* env = f.env();
  env->CallVoidMethod(log_, env->GetMethodID(env->GetObjectClass(log_), "clear", "()V"));
  failOnException(env, "clear");
}

long long Agent::upcallCount() {
  Frame f;
  JNIEnv* env = f.env();
  const jlong n =
      env->CallLongMethod(log_, env->GetMethodID(env->GetObjectClass(log_), "upcallCount", "()J"));
  failOnException(env, "upcallCount");
  return n;
}

std::vector<Row> Agent::rows(const char* list) {
  Frame f;
  JNIEnv* env = f.env();
  jobject records = env->CallObjectMethod(
      log_, env->GetMethodID(env->GetObjectClass(log_), list, "()Ljava/util/List;"));
  failOnException(env, list);
  jclass support = findClass(env, "HbTestSupport");
  auto flat = static_cast<jobjectArray>(env->CallStaticObjectMethod(
      support, env->GetStaticMethodID(support, "flatten", "(Ljava/util/List;)[Ljava/lang/String;"),
      records));
  failOnException(env, "flatten");
  std::vector<Row> out;
  const jsize n = flat != nullptr ? env->GetArrayLength(flat) : 0;
  for (jsize i = 0; i < n; ++i) {
    jobject element = env->GetObjectArrayElement(flat, i);
    const std::string line = text(env, element).value_or("");
    env->DeleteLocalRef(element);
    Row row;
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = line.find('\x1f', start);
      row.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    out.push_back(std::move(row));
  }
  return out;
}

bool Agent::takeException() {
  JNIEnv* env = jniEnv();
  if (!env->ExceptionCheck()) return false;
  env->ExceptionClear();
  return true;
}

int javaThreadCount() {
  Frame f;
  JNIEnv* env = f.env();
  jclass support = findClass(env, "HbTestSupport");
  const jint n =
      env->CallStaticIntMethod(support, env->GetStaticMethodID(support, "threadCount", "()I"));
  failOnException(env, "threadCount");
  return n;
}

void AgentTest::SetUp() {
  testconnector::reset();
  agent_ = std::make_unique<Agent>();
}

void AgentTest::TearDown() {
  agent_->terminate();
  testconnector::reset();
  agent_.reset();
}

int AgentTest::start(const char* version) { return agent_->init(version, connectorLibrary()); }

std::vector<Row> AgentTest::messages(int id) {
  std::vector<Row> out;
  for (Row& row : agent_->rows("messages")) {
    if (row.at(0) == std::to_string(id)) out.push_back(std::move(row));
  }
  return out;
}

bool AgentTest::logged(const std::string& text, const std::string& type) {
  for (const Row& row : agent_->rows("logs")) {
    if (row.at(0) == text && row.at(1) == type) return true;
  }
  return false;
}

std::vector<Row> AgentTest::traces(const std::string& prefix) {
  std::vector<Row> out;
  for (Row& row : agent_->rows("traces")) {
    if (row.at(3).rfind(prefix, 0) == 0) out.push_back(std::move(row));
  }
  return out;
}

const char* connectorLibrary() { return HB_TEST_CONNECTOR_LIBRARY; }
const char* unstampedLibrary() { return HB_TEST_UNSTAMPED_LIBRARY; }
const char* oldStampLibrary() { return HB_TEST_STAMP_299_LIBRARY; }
const char* exactThreeLibrary() { return HB_TEST_STAMP_300_LIBRARY; }

}  // namespace hbtest
