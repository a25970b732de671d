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

jobject newObject(const char* className, const char* signature,
                  std::initializer_list<jvalue> args = {}) {
  JNIEnv* env = jniEnv();
  jclass cls = env->FindClass(className);
  jobject object = env->NewObjectA(cls, env->GetMethodID(cls, "<init>", signature), args.begin());
  failOnException(env, className);
  return object;
}

jbyteArray byteArray(const char* bytes, std::size_t length) {
  JNIEnv* env = jniEnv();
  jbyteArray array = env->NewByteArray(static_cast<jsize>(length));
  env->SetByteArrayRegion(array, 0, static_cast<jsize>(length),
                          reinterpret_cast<const jbyte*>(bytes));
  return array;
}

}  // namespace

JNIEnv* jniEnv() {
  static JavaVM* vm = createVm();
  void* env = nullptr;
  vm->GetEnv(&env, JNI_VERSION_1_8);
  return static_cast<JNIEnv*>(env);
}

jvalue S(const char* text) { return {.l = text ? jniEnv()->NewStringUTF(text) : nullptr}; }

std::optional<std::string> javaText(jobject value) {
  if (value == nullptr) return std::nullopt;
  JNIEnv* env = jniEnv();
  const char* chars = env->GetStringUTFChars(static_cast<jstring>(value), nullptr);
  std::string out(chars);
  env->ReleaseStringUTFChars(static_cast<jstring>(value), chars);
  return out;
}

jvalue invoke(jobject target, const char* name, const char* signature,
              std::initializer_list<jvalue> args) {
  JNIEnv* env = jniEnv();
  jmethodID id = env->GetMethodID(env->GetObjectClass(target), name, signature);
  jvalue r{};
  const jvalue* a = args.begin();
  if (id != nullptr) {
    switch (std::strchr(signature, ')')[1]) {
      case 'V':
        env->CallVoidMethodA(target, id, a);
        break;
      case 'I':
        r.i = env->CallIntMethodA(target, id, a);
        break;
      case 'Z':
        r.z = env->CallBooleanMethodA(target, id, a);
        break;
      case 'J':
        r.j = env->CallLongMethodA(target, id, a);
        break;
      default:
        r.l = env->CallObjectMethodA(target, id, a);
    }
  }
  failOnException(env, name);
  return r;
}

std::string specRecord(const std::string& name, const std::string& attrs,
                       const std::string& appInfo) {
  const char* e = "\x05";
  const hbconnector::test::Tokens names = split(attrs);
  hbconnector::test::Tokens t = {"BusObjSpec", name, "1.0.0", appInfo, std::to_string(names.size()),
                                 "4"};
  for (const std::string& attr : names) {
    const std::size_t colon = attr.find(':');
    t.insert(t.end(),
             {attr.substr(0, colon), colon == std::string::npos ? "String" : attr.substr(colon + 1),
              &attr == &names[0] ? "true" : "false", "false", "false", e, "255", e, "1.0.0", "1",
              "null", "true"});
  }
  for (const char* verb : {"Create", "Retrieve", "Update", "Delete"}) t.insert(t.end(), {verb, e});
  return prefixed(t);
}

Agent::Agent() {
  JNIEnv* env = jniEnv();
  agent_ = env->NewGlobalRef(newObject("AppSide_Connector/BusObjNativeInterface", "()V"));
  settings_ = env->NewGlobalRef(call("settings", "()" HB_SETTINGS).l);
  log_ = env->NewGlobalRef(call("log", "()LAppSide_Connector/UpcallLog;").l);
  support_ = env->NewGlobalRef(newObject("HbTestSupport", "()V"));
}

Agent::~Agent() {
  for (jobject ref : {agent_, settings_, log_, support_}) jniEnv()->DeleteGlobalRef(ref);
}

void Agent::gotBusObjSpecI18n(const std::string& bytes) {
  call("n_gotBusObjSpecI18n", "([B)V", {{.l = byteArray(bytes.data(), bytes.size())}});
}

Outcome Agent::verb(const char* content, std::size_t length, bool bytes, bool transactional) {
  JNIEnv* env = jniEnv();
  jobject bucket = newObject("AppSide_Connector/StringBucket", "()V");
  jfieldID field = env->GetFieldID(env->GetObjectClass(bucket),
                                   bytes ? "contentinArray" : "content", bytes ? "[B" : HB_STR);
  if (content != nullptr) {
    env->SetObjectField(
        bucket, field,
        bytes ? static_cast<jobject>(byteArray(content, length)) : env->NewStringUTF(content));
  }
  jobject status = newObject("VqCommon/ReturnStatusDescriptor", "()V");
  Outcome outcome;
  outcome.status = call(bytes ? "n_DoVerbForI18n" : "n_DoVerbFor",
                        "(LAppSide_Connector/StringBucket;ZLVqCommon/ReturnStatusDescriptor;)I",
                        {{.l = bucket}, {.z = transactional}, {.l = status}})
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
  outcome.message = javaText(invoke(status, "getErrorString", "()" HB_STR, {}).l);
  return outcome;
}

std::vector<Row> Agent::rows(const char* list) {
  // One text: records separated by code 30, their fields by code 31.
  jobject records = onLog(list, "()Ljava/util/List;").l;
  const std::string text =
      javaText(invoke(support_, "flatten", "(Ljava/util/List;)" HB_STR, {{.l = records}}).l)
          .value_or("");
  std::vector<Row> out;
  for (char c : text) {
    if (c == '\x1e' || out.empty()) out.emplace_back(1);
    if (c == '\x1f') {
      out.back().emplace_back();
    } else if (c != '\x1e') {
      out.back().back() += c;
    }
  }
  return out;
}

bool Agent::takeException() {
  JNIEnv* env = jniEnv();
  const bool pending = env->ExceptionCheck();
  env->ExceptionClear();
  return pending;
}

void AgentTest::SetUp() {
  testconnector::reset();
  // The harness's own local references live until the end of the test.
  jniEnv()->PushLocalFrame(4096);
  agent_ = std::make_unique<Agent>();
}

void AgentTest::TearDown() {
  agent_->terminate();
  testconnector::reset();
  agent_.reset();
  jniEnv()->PopLocalFrame(nullptr);
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
