#include "jvm_harness.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  JavaVMOption options[] = {{classPath.data(), nullptr},
                            {library.data(), nullptr},
                            {const_cast<char*>("-Xcheck:jni"), nullptr},
                            {const_cast<char*>("-Xmx512m"), nullptr},
                            {const_cast<char*>("-XX:+UseSerialGC"), nullptr}};
  JavaVMInitArgs args{JNI_VERSION_1_8, 5, options, JNI_FALSE};
  JavaVM* vm = nullptr;
  JNIEnv* env = nullptr;
  if (JNI_CreateJavaVM(&vm, reinterpret_cast<void**>(&env), &args) != JNI_OK) {
    std::fprintf(stderr, "cannot create the Java virtual machine\n");
    std::abort();
  }
  return vm;
}

void failOnException(JNIEnv* env, const char* what) {
  if (!env->ExceptionCheck()) return;
  env->ExceptionDescribe();
  env->ExceptionClear();
  ADD_FAILURE() << "Java exception in " << what;
}

// Calls a method of target (a static one of cls when target is null); object
// results survive into the caller's frame.
jvalue invoke(jobject target, jclass cls, const char* name, const char* signature,
              std::initializer_list<jvalue> args) {
  JNIEnv* env = jniEnv();
  env->PushLocalFrame(16);
  if (target != nullptr) cls = env->GetObjectClass(target);
  jmethodID id = target != nullptr ? env->GetMethodID(cls, name, signature)
                                   : env->GetStaticMethodID(cls, name, signature);
  jvalue r{};
  if (id != nullptr) {
    const jvalue* a = args.begin();
    switch (std::strchr(signature, ')')[1]) {
      case 'V':
        target ? env->CallVoidMethodA(target, id, a) : env->CallStaticVoidMethodA(cls, id, a);
        break;
      case 'I':
        r.i = target ? env->CallIntMethodA(target, id, a) : env->CallStaticIntMethodA(cls, id, a);
        break;
      case 'Z':
        r.z = env->CallBooleanMethodA(target, id, a);
        break;
      case 'J':
        r.j = env->CallLongMethodA(target, id, a);
        break;
      default:
        r.l = target ? env->CallObjectMethodA(target, id, a)
                     : env->CallStaticObjectMethodA(cls, id, a);
    }
  }
  failOnException(env, name);
  if (std::strchr(signature, ')')[1] == 'L' || std::strchr(signature, ')')[1] == '[') {
    r.l = env->PopLocalFrame(r.l);
  } else {
    env->PopLocalFrame(nullptr);
  }
  return r;
}

jvalue support(const char* name, const char* signature, std::initializer_list<jvalue> args = {}) {
  return invoke(nullptr, jniEnv()->FindClass("HbTestSupport"), name, signature, args);
}

jobject newObject(const char* className, const char* signature,
                  std::initializer_list<jvalue> args) {
  JNIEnv* env = jniEnv();
  jclass cls = env->FindClass(className);
  jobject object = env->NewObjectA(cls, env->GetMethodID(cls, "<init>", signature), args.begin());
  failOnException(env, className);
  return object;
}

}  // namespace

JNIEnv* jniEnv() {
  static JavaVM* vm = createVm();
  void* env = nullptr;
  vm->GetEnv(&env, JNI_VERSION_1_8);
  return static_cast<JNIEnv*>(env);
}

jvalue S(const char* text) { return L(text != nullptr ? jniEnv()->NewStringUTF(text) : nullptr); }
jvalue I(int value) {
  jvalue v;
  v.i = value;
  return v;
}
jvalue Z(bool value) {
  jvalue v;
  v.z = value ? JNI_TRUE : JNI_FALSE;
  return v;
}
jvalue L(jobject value) {
  jvalue v;
  v.l = value;
  return v;
}

std::optional<std::string> javaText(jobject value) {
  if (value == nullptr) return std::nullopt;
  JNIEnv* env = jniEnv();
  const char* chars = env->GetStringUTFChars(static_cast<jstring>(value), nullptr);
  std::string out(chars);
  env->ReleaseStringUTFChars(static_cast<jstring>(value), chars);
  return out;
}

std::string specRecord(const std::string& name,
                       const std::vector<std::pair<std::string, std::string>>& attrs,
                       const std::string& appInfo) {
  const char* e = "\x05";
  hbconnector::test::Tokens t = {"BusObjSpec", name, "1.0.0", appInfo, std::to_string(attrs.size()),
                                 "4"};
  for (const auto& [attr, type] : attrs) {
    const bool key = &attr == &attrs.front().first;
    t.insert(t.end(), {attr, type, key ? "true" : "false", "false", "false", e, "255", e, "1.0.0",
                       "1", "null", "true"});
  }
  for (const char* verb : {"Create", "Retrieve", "Update", "Delete"}) t.insert(t.end(), {verb, e});
  return prefixed(t);
}

Agent::Agent() {
  Frame f;
  JNIEnv* env = jniEnv();
  agent_ = env->NewGlobalRef(newObject("AppSide_Connector/BusObjNativeInterface", "()V", {}));
  settings_ = env->NewGlobalRef(call("settings", "()" HB_SETTINGS).l);
  log_ = env->NewGlobalRef(call("log", "()LAppSide_Connector/UpcallLog;").l);
}

Agent::~Agent() {
  for (jobject ref : {agent_, settings_, log_}) jniEnv()->DeleteGlobalRef(ref);
}

jvalue Agent::call(const char* name, const char* signature, std::initializer_list<jvalue> args) {
  return invoke(agent_, nullptr, name, signature, args);
}

void Agent::setting(const char* name, const char* signature, std::initializer_list<jvalue> args) {
  Frame f;
  invoke(settings_, nullptr, name, signature, args);
}

jvalue Agent::onLog(const char* name, const char* signature, std::initializer_list<jvalue> args) {
  return invoke(log_, nullptr, name, signature, args);
}

int Agent::init(const char* version, const char* dllFileName) {
  Frame f;
  return call("n_init", "(" HB_STR HB_STR ")I", {S(version), S(dllFileName)}).i;
}

std::optional<std::string> Agent::text(const char* native) {
  Frame f;
  return javaText(call(native, "()" HB_STR).l);
}

int Agent::subscribeTo(const char* name, const char* verb, int perf) {
  Frame f;
  return call("n_SubscribeTo", "(" HB_STR HB_STR "I)I", {S(name), S(verb), I(perf)}).i;
}

int Agent::updateSubscription(const char* name, const char* verb, int perf) {
  Frame f;
  return call("n_UpdateSubscription", "(" HB_STR HB_STR HB_STR "I)I",
              {S(name), S(verb), S("ignored"), I(perf)})
      .i;
}

int Agent::cancelSub(const char* name, const char* version, const char* verb) {
  Frame f;
  return call("n_CancelSub", "(" HB_STR HB_STR HB_STR ")I", {S(name), S(version), S(verb)}).i;
}

bool Agent::isSubscribed(const char* name, const char* verb) {
  Frame f;
  return call("n_isSubscribed", "(" HB_STR HB_STR ")Z", {S(name), S(verb)}).z == JNI_TRUE;
}

void Agent::gotBusObjSpec(const std::string& text) {
  Frame f;
  call("n_gotBusObjSpec", "(" HB_STR ")V", {S(text.c_str())});
}

namespace {

jbyteArray byteArray(const char* bytes, std::size_t length) {
  JNIEnv* env = jniEnv();
  jbyteArray array = env->NewByteArray(static_cast<jsize>(length));
  env->SetByteArrayRegion(array, 0, static_cast<jsize>(length),
                          reinterpret_cast<const jbyte*>(bytes));
  return array;
}

}  // namespace

void Agent::gotBusObjSpecI18n(const std::string& bytes) {
  Frame f;
  call("n_gotBusObjSpecI18n", "([B)V", {L(byteArray(bytes.data(), bytes.size()))});
}

Outcome Agent::verb(const char* content, std::size_t length, bool bytes, bool transactional) {
  Frame f;
  JNIEnv* env = jniEnv();
  jobject bucket = newObject("AppSide_Connector/StringBucket", "()V", {});
  jfieldID field = env->GetFieldID(env->GetObjectClass(bucket),
                                   bytes ? "contentinArray" : "content", bytes ? "[B" : HB_STR);
  if (content != nullptr) {
    env->SetObjectField(
        bucket, field,
        bytes ? static_cast<jobject>(byteArray(content, length)) : env->NewStringUTF(content));
  }
  jobject status = newObject("VqCommon/ReturnStatusDescriptor", "()V", {});
  Outcome outcome;
  outcome.status = call(bytes ? "n_DoVerbForI18n" : "n_DoVerbFor",
                        "(LAppSide_Connector/StringBucket;ZLVqCommon/ReturnStatusDescriptor;)I",
                        {L(bucket), Z(transactional), L(status)})
                       .i;
  jobject after = env->GetObjectField(bucket, field);
  if (!bytes) {
    outcome.content = javaText(after);
  } else if (after != nullptr) {
    auto array = static_cast<jbyteArray>(after);
    std::string out(static_cast<std::size_t>(env->GetArrayLength(array)), '\0');
    env->GetByteArrayRegion(array, 0, static_cast<jsize>(out.size()),
                            reinterpret_cast<jbyte*>(out.data()));
    outcome.content = out;
  }
  outcome.message = javaText(invoke(status, nullptr, "getErrorString", "()" HB_STR, {}).l);
  return outcome;
}

std::vector<Row> Agent::rows(const char* list) {
  Frame f;
  JNIEnv* env = jniEnv();
  jobject records = onLog(list, "()Ljava/util/List;").l;
  auto flat =
      static_cast<jobjectArray>(support("flatten", "(Ljava/util/List;)[" HB_STR, {L(records)}).l);
  std::vector<Row> out;
  const jsize n = flat != nullptr ? env->GetArrayLength(flat) : 0;
  for (jsize i = 0; i < n; ++i) {
    jobject element = env->GetObjectArrayElement(flat, i);
    const std::string line = javaText(element).value_or("");
    env->DeleteLocalRef(element);
    Row row(1);
    for (char c : line) {
      if (c == '\x1f') {
        row.emplace_back();
      } else {
        row.back() += c;
      }
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
  return support("threadCount", "()I").i;
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

}  // namespace hbtest
