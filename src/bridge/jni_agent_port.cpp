// The agent port over JNI: every call finds its method (jni_state.hpp), makes its
// arguments as local references owned by the call, and deletes them before it
// returns, so any number of upcalls can run inside one native method.
//
// Java exceptions. An exception thrown by an agent method stays pending: on a
// thread inside a native method, that method's last step reports and clears
// it. While one is pending no other JNI call is allowed, so every operation
// checks first and answers "no answer" at once. On a thread the library
// attached itself there is no native method to report it, so the port reports
// and clears it right after the call; otherwise every later upcall of that
// thread would be skipped.
#include <jni.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "bridge/jni_agent_port.hpp"
#include "bridge/jni_state.hpp"
#include "bridge/jvm.hpp"
#include "runtime/agent_port.hpp"

namespace hbconnector::detail {
namespace jni {
namespace {

std::atomic<jclass> rtnStatusDesp{nullptr};
std::atomic<jclass> busObjNativeInterface{nullptr};
std::atomic<jclass> stringBucket{nullptr};

// Keeps the class reference already held when it names the same class, so a
// reference other threads may be using is never deleted.
bool takeClass(JNIEnv* env, const char* name, std::atomic<jclass>* slot) {
  jvm::LocalRef<jclass> found(env, env->FindClass(name));
  if (!found) return false;
  jclass held = slot->load(std::memory_order_acquire);
  if (held != nullptr && env->IsSameObject(held, found.get())) return true;
  auto global = static_cast<jclass>(env->NewGlobalRef(found.get()));
  if (global == nullptr) return false;
  slot->store(global, std::memory_order_release);
  return true;
}

}  // namespace

jclass rtnStatusDespClass() { return rtnStatusDesp.load(std::memory_order_acquire); }
jclass busObjNativeInterfaceClass() {
  return busObjNativeInterface.load(std::memory_order_acquire);
}
jclass stringBucketClass() { return stringBucket.load(std::memory_order_acquire); }

bool takeClassReferences(JNIEnv* env) {
  return takeClass(env, "VqCommon/ReturnStatusDescriptor", &rtnStatusDesp) &&
         takeClass(env, "AppSide_Connector/BusObjNativeInterface", &busObjNativeInterface) &&
         takeClass(env, "AppSide_Connector/StringBucket", &stringBucket);
}

namespace {
std::atomic<jobject> currentAgent{nullptr};
}  // namespace

void setAgentObject(jobject agent) { currentAgent.store(agent, std::memory_order_release); }

void clearAgentObject(jobject agent) {
  currentAgent.compare_exchange_strong(agent, nullptr, std::memory_order_acq_rel);
}

jobject agentObject() { return currentAgent.load(std::memory_order_acquire); }

namespace {

// One upcall: the thread's env, the agent class and (for instance methods)
// the agent object, and the clean-up after the Java method returned.
class Upcall {
 public:
  explicit Upcall(bool needsReceiver) {
    env_ = jvm::env();
    if (env_ == nullptr || env_->ExceptionCheck()) return;
    cls_ = busObjNativeInterfaceClass();
    receiver_ = needsReceiver ? agentObject() : nullptr;
    ready_ = cls_ != nullptr && (!needsReceiver || receiver_ != nullptr);
  }
  Upcall(const Upcall&) = delete;
  Upcall& operator=(const Upcall&) = delete;
  ~Upcall() {
    if (ready_ && jvm::attachedByLibrary() && env_->ExceptionCheck()) {
      std::fputs("Error: Java Exception occurred in an agent method called from a native thread.\n",
                 stderr);
      env_->ExceptionDescribe();
      env_->ExceptionClear();
    }
  }

  bool ready() const { return ready_; }
  JNIEnv* env() const { return env_; }
  jclass cls() const { return cls_; }
  jobject receiver() const { return receiver_; }

  // Method ids are looked up once per start-up (jni_state.hpp). A missing
  // method leaves its NoSuchMethodError pending and gives null.
  jmethodID method(JavaId id) const { return methodId(env_, id); }
  jmethodID staticMethod(JavaId id) const { return methodId(env_, id); }
  // Whether the Java method just called threw.
  bool threw() const { return env_->ExceptionCheck(); }

  jvm::LocalRef<jstring> string(const char* text) const { return jvm::newString(env_, text); }

 private:
  JNIEnv* env_ = nullptr;
  jclass cls_ = nullptr;
  jobject receiver_ = nullptr;
  bool ready_ = false;
};

void clearBuffer(char* buffer, int size) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
}

// Copies at most size - 1 bytes and terminates; the number of bytes copied.
int copyOut(const char* data, std::size_t length, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  const std::size_t room = static_cast<std::size_t>(size) - 1;
  const std::size_t n = length < room ? length : room;
  std::memcpy(buffer, data, n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

// A static String(String) method: the answer copied into buffer.
int stringProperty(JavaId method, const char* name, char* buffer, int size) {
  clearBuffer(buffer, size);
  Upcall call(false);
  if (!call.ready() || name == nullptr) return -1;
  jmethodID id = call.staticMethod(method);
  if (id == nullptr) return -1;
  jvm::LocalRef<jstring> jname = call.string(name);
  if (!jname) return -1;
  jvm::LocalRef<jstring> answer(call.env(), static_cast<jstring>(call.env()->CallStaticObjectMethod(
                                                call.cls(), id, jname.get())));
  if (call.threw() || !answer) return -1;
  jvm::UtfChars chars(call.env(), answer.get());
  if (!chars) return -1;
  return copyOut(chars.get(), chars.length(), buffer, size);
}

// An instance ()String method.
bool stringAnswer(JavaId method, std::string* out) {
  Upcall call(true);
  if (!call.ready()) return false;
  jmethodID id = call.method(method);
  if (id == nullptr) return false;
  jvm::LocalRef<jstring> answer(
      call.env(), static_cast<jstring>(call.env()->CallObjectMethod(call.receiver(), id)));
  if (call.threw() || !answer) return false;
  jvm::UtfChars chars(call.env(), answer.get());
  if (!chars) return false;
  if (out != nullptr) out->assign(chars.get(), chars.length());
  return true;
}

// The content field of a bucket as text; false when it holds no string.
bool bucketContent(const Upcall& call, jobject bucket, std::string* out) {
  jfieldID field = fieldId(call.env(), JavaId::kStringBucketContent);
  if (field == nullptr) return false;
  jvm::LocalRef<jstring> content(call.env(),
                                 static_cast<jstring>(call.env()->GetObjectField(bucket, field)));
  if (!content) return false;
  jvm::UtfChars chars(call.env(), content.get());
  if (!chars) return false;
  out->assign(chars.get(), chars.length());
  return true;
}

class JniAgentPort final : public AgentPort {
 public:
  bool available() override {
    return jvm::vm() != nullptr && busObjNativeInterfaceClass() != nullptr &&
           agentObject() != nullptr;
  }

  int getConfigProp(const char* name, char* buffer, int size) override {
    return stringProperty(JavaId::kGetConfigProp, name, buffer, size);
  }

  int getConfigPropI18n(const char* name, char* buffer, int size) override {
    clearBuffer(buffer, size);
    Upcall call(false);
    if (!call.ready() || name == nullptr) return -1;
    jmethodID id = call.staticMethod(JavaId::kGetConfigPropI18n);
    if (id == nullptr) return -1;
    jvm::LocalRef<jstring> jname = call.string(name);
    if (!jname) return -1;
    jvm::LocalRef<jbyteArray> answer(
        call.env(),
        static_cast<jbyteArray>(call.env()->CallStaticObjectMethod(call.cls(), id, jname.get())));
    if (call.threw() || !answer) return -1;
    jvm::ByteArrayElements bytes(call.env(), answer.get());
    if (!bytes) return -1;
    return copyOut(bytes.data(), bytes.size(), buffer, size);
  }

  int getDeltaSupport(const char* boName, char* buffer, int size) override {
    return stringProperty(JavaId::kGetDeltaSupport, boName, buffer, size);
  }

  void logMsg(const char* text) override {
    if (text == nullptr) return;
    Upcall call(true);
    if (!call.ready()) return;
    jmethodID id = call.method(JavaId::kLogMsg);
    if (id == nullptr) return;
    jvm::LocalRef<jstring> jtext = call.string(text);
    if (!jtext) return;
    call.env()->CallVoidMethod(call.receiver(), id, jtext.get());
  }

  void logMsg(const char* text, int type) override {
    Upcall call(true);
    if (!call.ready()) return;
    jmethodID id = call.method(JavaId::kLogMsgWithType);
    if (id == nullptr) return;
    jvm::LocalRef<jstring> jtext = call.string(text);
    if (text != nullptr && !jtext) return;
    call.env()->CallVoidMethod(call.receiver(), id, jtext.get(), static_cast<jint>(type));
  }

  void traceWrite(const char* connectorName, int level, const char* delimiter, const char* text,
                  const char* extra) override {
    Upcall call(true);
    if (!call.ready()) return;
    jmethodID id = call.method(JavaId::kTraceWrite);
    if (id == nullptr) return;
    jvm::LocalRef<jstring> jname = call.string(connectorName);
    jvm::LocalRef<jstring> jdelimiter = call.string(delimiter);
    jvm::LocalRef<jstring> jtext = call.string(text);
    jvm::LocalRef<jstring> jextra = call.string(extra);
    if (call.threw()) return;  // out of memory making an argument
    call.env()->CallVoidMethod(call.receiver(), id, jname.get(), static_cast<jint>(level),
                               jdelimiter.get(), jtext.get(), jextra.get());
  }

  char* generateMsg(int id, int type, const char* extra, int flag, int count,
                    const char* params) override {
    Upcall call(true);
    if (!call.ready()) return nullptr;
    jmethodID method = call.method(JavaId::kGenerateMsg);
    if (method == nullptr) return nullptr;
    jvm::LocalRef<jstring> jextra = call.string(extra);
    jvm::LocalRef<jstring> jparams = call.string(params != nullptr ? params : "");
    if (call.threw()) return nullptr;
    jvm::LocalRef<jstring> answer(
        call.env(),
        static_cast<jstring>(call.env()->CallObjectMethod(
            call.receiver(), method, static_cast<jint>(id), static_cast<jint>(type), jextra.get(),
            static_cast<jint>(flag), static_cast<jint>(count), jparams.get())));
    if (call.threw() || !answer) return nullptr;
    jvm::UtfChars chars(call.env(), answer.get());
    if (!chars) return nullptr;
    char* text = new char[chars.length() + 1];
    std::memcpy(text, chars.get(), chars.length() + 1);
    return text;
  }

  int gotEventFromApp(const char* text) override {
    Upcall call(true);
    if (!call.ready()) return -1;
    jmethodID id = call.method(JavaId::kGotEventFromAppText);
    if (id == nullptr) return -1;
    jvm::LocalRef<jstring> jtext = call.string(text);
    if (call.threw()) return -1;
    const jint answer = call.env()->CallIntMethod(call.receiver(), id, jtext.get());
    return call.threw() ? -1 : answer;
  }

  int gotEventFromApp(const char* bytes, std::size_t length, const char* encoding) override {
    Upcall call(true);
    if (!call.ready()) return -1;
    jmethodID id = call.method(JavaId::kGotEventFromAppBytes);
    if (id == nullptr) return -1;
    if (length > static_cast<std::size_t>(INT32_MAX) || (bytes == nullptr && length > 0)) return -1;
    const auto n = static_cast<jsize>(length);
    jvm::LocalRef<jbyteArray> array(call.env(), call.env()->NewByteArray(n));
    if (!array) return -1;
    if (n > 0) {
      call.env()->SetByteArrayRegion(array.get(), 0, n, reinterpret_cast<const jbyte*>(bytes));
    }
    jvm::LocalRef<jstring> jencoding = call.string(encoding);
    if (call.threw()) return -1;
    const jint answer =
        call.env()->CallIntMethod(call.receiver(), id, array.get(), jencoding.get());
    return call.threw() ? -1 : answer;
  }

  bool consumeSync(const char* name, std::string* boText, std::string* statusText) override {
    Upcall call(true);
    jclass bucketClass = stringBucketClass();
    if (!call.ready() || bucketClass == nullptr || boText == nullptr || statusText == nullptr) {
      return false;
    }
    jmethodID method = call.method(JavaId::kConsumeSync);
    if (method == nullptr) return false;
    jmethodID init = methodId(call.env(), JavaId::kStringBucketInit);
    if (init == nullptr) return false;
    jvm::LocalRef<jstring> jname = call.string(name);
    jvm::LocalRef<jstring> jbo = call.string(boText->c_str());
    jvm::LocalRef<jstring> jstatus = call.string(statusText->c_str());
    if (call.threw()) return false;
    jvm::LocalRef<jobject> boBucket(call.env(),
                                    call.env()->NewObject(bucketClass, init, jbo.get()));
    if (call.threw() || !boBucket) return false;
    jvm::LocalRef<jobject> statusBucket(call.env(),
                                        call.env()->NewObject(bucketClass, init, jstatus.get()));
    if (call.threw() || !statusBucket) return false;
    call.env()->CallVoidMethod(call.receiver(), method, jname.get(), boBucket.get(),
                               statusBucket.get());
    if (call.threw()) return false;
    return bucketContent(call, boBucket.get(), boText) &&
           bucketContent(call, statusBucket.get(), statusText);
  }

  bool getCollabNames(std::string* names) override {
    return stringAnswer(JavaId::kGetCollabNames, names);
  }
  bool getEncoding(std::string* encoding) override {
    return stringAnswer(JavaId::kGetEncoding, encoding);
  }
  bool getLocale(std::string* locale) override { return stringAnswer(JavaId::kGetLocale, locale); }

  bool isAgentCapableOfPolling() override {
    Upcall call(true);
    if (!call.ready()) return false;
    jmethodID id = call.method(JavaId::kIsAgentCapableOfPolling);
    if (id == nullptr) return false;
    const jboolean answer = call.env()->CallBooleanMethod(call.receiver(), id);
    return !call.threw() && answer == JNI_TRUE;
  }
};

}  // namespace

AgentPort& jniAgentPort() {
  static JniAgentPort* port = new JniAgentPort();  // never destroyed: used until the process ends
  return *port;
}

}  // namespace jni
}  // namespace hbconnector::detail
