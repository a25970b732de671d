#include "bridge/jvm.hpp"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "bridge/java_text.hpp"
#include "bridge/jni_state.hpp"
#include "runtime/agent_port.hpp"

namespace hbconnector::detail::jvm {
namespace {

std::atomic<JavaVM*> knownVm{nullptr};
std::once_flag portRegistered;

using GetCreatedVmsFunction = jint (*)(JavaVM**, jsize, jsize*);

// The JVM library is already in the process when anything asks; find its
// entry without linking against it.
JavaVM* lookUpCreatedVm() {
  void* symbol = dlsym(RTLD_DEFAULT, "JNI_GetCreatedJavaVMs");
  if (symbol == nullptr) {
    if (void* handle = dlopen("libjvm.so", RTLD_LAZY | RTLD_NOLOAD)) {
      symbol = dlsym(handle, "JNI_GetCreatedJavaVMs");
      dlclose(handle);
    }
  }
  if (symbol == nullptr) return nullptr;
  auto getCreatedVms = reinterpret_cast<GetCreatedVmsFunction>(symbol);
  JavaVM* vms[1] = {nullptr};
  jsize count = 0;
  if (getCreatedVms(vms, 1, &count) != JNI_OK || count < 1) return nullptr;
  return vms[0];
}

bool isMainThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

// Detaches the thread at its end when the library attached it. The main
// thread is never detached: it ends with the process, when the VM may already
// be gone.
struct AttachGuard {
  JavaVM* attachedTo = nullptr;
  bool detachAtExit = false;
  ~AttachGuard() {
    if (attachedTo != nullptr && detachAtExit) attachedTo->DetachCurrentThread();
  }
};

thread_local AttachGuard attachGuard;

}  // namespace

void rememberVm(JavaVM* vm) {
  if (vm == nullptr) return;
  JavaVM* expected = nullptr;
  knownVm.compare_exchange_strong(expected, vm);
  std::call_once(portRegistered, [] { setDefaultAgentPort(&jni::jniAgentPort()); });
}

void rememberEnv(JNIEnv* env) {
  if (env == nullptr || knownVm.load(std::memory_order_acquire) != nullptr) return;
  JavaVM* vm = nullptr;
  if (env->GetJavaVM(&vm) == JNI_OK) rememberVm(vm);
}

JavaVM* vm() {
  if (JavaVM* known = knownVm.load(std::memory_order_acquire)) return known;
  JavaVM* found = lookUpCreatedVm();
  rememberVm(found);
  return knownVm.load(std::memory_order_acquire);
}

JNIEnv* env() {
  JavaVM* machine = vm();
  if (machine == nullptr) return nullptr;
  void* current = nullptr;
  const jint rc = machine->GetEnv(&current, REQUIRED_JNI_VERSION);
  if (rc == JNI_OK) return static_cast<JNIEnv*>(current);
  if (rc != JNI_EDETACHED) return nullptr;
  if (machine->AttachCurrentThread(&current, nullptr) != JNI_OK) return nullptr;
  attachGuard.attachedTo = machine;
  attachGuard.detachAtExit = !isMainThread();
  return static_cast<JNIEnv*>(current);
}

bool attachedByLibrary() { return attachGuard.attachedTo != nullptr; }

namespace {

// The buffer a thread keeps for the characters of its next string: no
// allocation per request (row jni/n_DoVerbFor/S against jni/string_echo_region/S).
struct KeptBuffer {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
  bool inUse = false;
};
thread_local KeptBuffer keptBuffer;

}  // namespace

UtfChars::UtfChars(JNIEnv* env, jstring text) : env_(env), text_(text) {
  if (text == nullptr) return;
  const jsize units = env->GetStringLength(text);
  if (units < 0) return;
  // At most three bytes per UTF-16 unit (a surrogate is encoded on its own,
  // U+0000 as C0 80), and the terminating zero.
  const std::size_t needed = static_cast<std::size_t>(units) * 3 + 1;
  if (!keptBuffer.inUse && needed <= kKeptBufferBytes) {
    if (keptBuffer.size < needed) {
      keptBuffer.data.reset(new (std::nothrow) char[needed]);
      keptBuffer.size = keptBuffer.data ? needed : 0;
    }
    if (keptBuffer.data) {
      chars_ = keptBuffer.data.get();
      source_ = Source::kThreadBuffer;
      keptBuffer.inUse = true;
    }
  }
  if (chars_ == nullptr) {
    chars_ = new (std::nothrow) char[needed];
    source_ = Source::kOwnBuffer;
  }
  if (chars_ == nullptr) {
    // The virtual machine measures first and needs only the exact length.
    // Its characters are not ours to rewrite: in this last resort (no memory
    // for a buffer) surrogate pairs stay as the virtual machine wrote them.
    chars_ = const_cast<char*>(env->GetStringUTFChars(text, nullptr));
    source_ = chars_ != nullptr ? Source::kVirtualMachine : Source::kNone;
    if (chars_ != nullptr) length_ = std::strlen(chars_);
    return;
  }
  chars_[0] = '\0';
  env->GetStringUTFRegion(text, 0, units, chars_);
  if (env->ExceptionCheck()) {
    // Left pending for the caller, as a failing GetStringUTFChars leaves its error.
    release();
    return;
  }
  // Modified UTF-8 has no zero byte inside (U+0000 is written C0 80), so the
  // terminating zero gives the length. Characters above U+FFFF reach the
  // library and the connector as standard four-byte UTF-8.
  length_ = joinSurrogatePairs(chars_, std::strlen(chars_));
}

UtfChars::UtfChars(UtfChars&& other) noexcept
    : env_(other.env_),
      text_(other.text_),
      chars_(std::exchange(other.chars_, nullptr)),
      length_(other.length_),
      source_(std::exchange(other.source_, Source::kNone)) {}

UtfChars::~UtfChars() { release(); }

void UtfChars::release() {
  switch (source_) {
    case Source::kThreadBuffer:
      keptBuffer.inUse = false;
      break;
    case Source::kOwnBuffer:
      delete[] chars_;
      break;
    case Source::kVirtualMachine:
      env_->ReleaseStringUTFChars(text_, chars_);
      break;
    case Source::kNone:
      break;
  }
  chars_ = nullptr;
  length_ = 0;
  source_ = Source::kNone;
}

ByteArrayElements::ByteArrayElements(JNIEnv* env, jbyteArray array) : env_(env), array_(array) {
  if (array_ == nullptr) return;
  elements_ = env_->GetByteArrayElements(array_, nullptr);
  if (elements_ != nullptr) size_ = static_cast<std::size_t>(env_->GetArrayLength(array_));
}

ByteArrayElements::ByteArrayElements(ByteArrayElements&& other) noexcept
    : env_(other.env_),
      array_(other.array_),
      elements_(std::exchange(other.elements_, nullptr)),
      size_(other.size_) {}

ByteArrayElements::~ByteArrayElements() {
  if (elements_ != nullptr) env_->ReleaseByteArrayElements(array_, elements_, 0);
}

LocalRef<jstring> newString(JNIEnv* env, const char* text) {
  if (text == nullptr) return {};
  return newString(env, text, std::strlen(text));
}

LocalRef<jstring> newString(JNIEnv* env, const char* text, std::size_t length) {
  if (text == nullptr) return {};
  if (isModifiedUtf8(text, length)) return {env, env->NewStringUTF(text)};
  const std::string repaired = toModifiedUtf8(text);
  return {env, env->NewStringUTF(repaired.c_str())};
}

}  // namespace hbconnector::detail::jvm

namespace hbconnector::detail::jni {
namespace {

enum class Owner { kAgent, kBucket, kStatus };
enum class Kind { kMethod, kStaticMethod, kField };

struct Member {
  JavaId id;
  Owner owner;
  Kind kind;
  const char* name;
  const char* signature;
};

constexpr auto kIdCount = static_cast<std::size_t>(JavaId::kCount);

// In JavaId order (checked below).
constexpr Member kMembers[kIdCount] = {
    {JavaId::kGetConfigProp, Owner::kAgent, Kind::kStaticMethod, "getConfigProp",
     "(Ljava/lang/String;)Ljava/lang/String;"},
    {JavaId::kGetConfigPropI18n, Owner::kAgent, Kind::kStaticMethod, "getConfigPropI18n",
     "(Ljava/lang/String;)[B"},
    {JavaId::kGetDeltaSupport, Owner::kAgent, Kind::kStaticMethod, "getDeltaSupport",
     "(Ljava/lang/String;)Ljava/lang/String;"},
    {JavaId::kLogMsg, Owner::kAgent, Kind::kMethod, "logMsg", "(Ljava/lang/String;)V"},
    {JavaId::kLogMsgWithType, Owner::kAgent, Kind::kMethod, "logMsg", "(Ljava/lang/String;I)V"},
    {JavaId::kTraceWrite, Owner::kAgent, Kind::kMethod, "TraceWrite",
     "(Ljava/lang/String;ILjava/lang/String;Ljava/lang/String;Ljava/lang/String;)V"},
    {JavaId::kGenerateMsg, Owner::kAgent, Kind::kMethod, "generateMsg",
     "(IILjava/lang/String;IILjava/lang/String;)Ljava/lang/String;"},
    {JavaId::kGotEventFromAppText, Owner::kAgent, Kind::kMethod, "GotEventFromApp",
     "(Ljava/lang/String;)I"},
    {JavaId::kGotEventFromAppBytes, Owner::kAgent, Kind::kMethod, "GotEventFromApp",
     "([BLjava/lang/String;)I"},
    {JavaId::kConsumeSync, Owner::kAgent, Kind::kMethod, "consumeSync",
     "(Ljava/lang/String;LAppSide_Connector/StringBucket;LAppSide_Connector/StringBucket;)V"},
    {JavaId::kGetCollabNames, Owner::kAgent, Kind::kMethod, "getCollabNames",
     "()Ljava/lang/String;"},
    {JavaId::kGetEncoding, Owner::kAgent, Kind::kMethod, "getEncoding", "()Ljava/lang/String;"},
    {JavaId::kGetLocale, Owner::kAgent, Kind::kMethod, "getLocale", "()Ljava/lang/String;"},
    {JavaId::kIsAgentCapableOfPolling, Owner::kAgent, Kind::kMethod, "isAgentCapableOfPolling",
     "()Z"},
    {JavaId::kStringBucketInit, Owner::kBucket, Kind::kMethod, "<init>", "(Ljava/lang/String;)V"},
    {JavaId::kStringBucketContent, Owner::kBucket, Kind::kField, "content", "Ljava/lang/String;"},
    {JavaId::kStringBucketContentInArray, Owner::kBucket, Kind::kField, "contentinArray", "[B"},
    {JavaId::kSetErrorString, Owner::kStatus, Kind::kMethod, "setErrorString",
     "(Ljava/lang/String;)V"},
};

constexpr bool inIdOrder() {
  for (std::size_t i = 0; i < kIdCount; ++i) {
    if (static_cast<std::size_t>(kMembers[i].id) != i) return false;
  }
  return true;
}
static_assert(inIdOrder(), "kMembers must list every JavaId in declaration order");

// Method and field identifiers are opaque pointers; both kinds share one table.
std::atomic<void*> kept[kIdCount];

jclass ownerClass(Owner owner) {
  switch (owner) {
    case Owner::kAgent:
      return busObjNativeInterfaceClass();
    case Owner::kBucket:
      return stringBucketClass();
    case Owner::kStatus:
      return rtnStatusDespClass();
  }
  return nullptr;
}

void* lookUp(JNIEnv* env, JavaId id, bool field) {
  const auto index = static_cast<std::size_t>(id);
  if (index >= kIdCount) return nullptr;
  const Member& member = kMembers[index];
  if ((member.kind == Kind::kField) != field) return nullptr;
  if (void* known = kept[index].load(std::memory_order_acquire)) return known;
  jclass cls = ownerClass(member.owner);
  if (cls == nullptr) return nullptr;
  void* found = nullptr;
  switch (member.kind) {
    case Kind::kMethod:
      found = env->GetMethodID(cls, member.name, member.signature);
      break;
    case Kind::kStaticMethod:
      found = env->GetStaticMethodID(cls, member.name, member.signature);
      break;
    case Kind::kField:
      found = env->GetFieldID(cls, member.name, member.signature);
      break;
  }
  // Threads that race here find the same identifier; either store is right.
  if (found != nullptr) kept[index].store(found, std::memory_order_release);
  return found;
}

}  // namespace

jmethodID methodId(JNIEnv* env, JavaId id) {
  return static_cast<jmethodID>(lookUp(env, id, false));
}

jfieldID fieldId(JNIEnv* env, JavaId id) { return static_cast<jfieldID>(lookUp(env, id, true)); }

void dropIdentifiers() {
  for (std::atomic<void*>& slot : kept) slot.store(nullptr, std::memory_order_release);
}

int keptIdentifierCount() {
  int count = 0;
  for (const std::atomic<void*>& slot : kept) {
    if (slot.load(std::memory_order_acquire) != nullptr) ++count;
  }
  return count;
}

}  // namespace hbconnector::detail::jni

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void* /*reserved*/) {
  hbconnector::detail::jvm::rememberVm(vm);
  return hbconnector::detail::jvm::REQUIRED_JNI_VERSION;
}

// The class loader that loaded the library is going away, and with it the
// classes the kept identifiers belong to.
extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM* /*vm*/, void* /*reserved*/) {
  hbconnector::detail::jni::dropIdentifiers();
}
