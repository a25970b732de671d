// The Java virtual machine the library lives in, and owners for JNI handles.
//
// The library never links the JVM library: the JavaVM is remembered from
// JNI_OnLoad and from the JNIEnv of every native entry, and when neither has
// been seen it is asked for with JNI_GetCreatedJavaVMs, found at run time.
// Once the VM is known the JNI agent port becomes the library's default port.
//
// env() gives the calling thread's JNIEnv, attaching a thread the VM has never
// seen. A thread attached this way is detached when it ends (a thread_local
// guard), so short-lived native threads do not pile up in the VM; threads the
// VM attached itself, and the process's main thread, are left alone.
//
// The owner types are move-only and release their handle in their destructor,
// so a loop of upcalls never grows the local reference table.
#ifndef HBCONNECTOR_BRIDGE_JVM_HPP_
#define HBCONNECTOR_BRIDGE_JVM_HPP_

#include <jni.h>

#include <cstddef>
#include <utility>

namespace hbconnector::detail::jvm {

// The JNI version the library asks for.
inline constexpr jint REQUIRED_JNI_VERSION = JNI_VERSION_1_6;

// Remembers the VM (idempotent; the first one wins) and registers the JNI
// agent port as the default port.
void rememberVm(JavaVM* vm);
// Remembers the VM of a native entry's env.
void rememberEnv(JNIEnv* env);
// The VM, or null when the process has none.
JavaVM* vm();
// The calling thread's env, attaching the thread if needed; null when there
// is no VM or attaching failed.
JNIEnv* env();
// Whether the calling thread was attached by the library (so no Java frame is
// below it to receive a pending exception).
bool attachedByLibrary();

// A local reference, deleted when the owner goes.
template <typename T>
class LocalRef {
 public:
  LocalRef() = default;
  LocalRef(JNIEnv* env, T ref) : env_(env), ref_(ref) {}
  LocalRef(LocalRef&& other) noexcept
      : env_(other.env_), ref_(std::exchange(other.ref_, nullptr)) {}
  LocalRef& operator=(LocalRef&& other) noexcept {
    if (this != &other) {
      reset();
      env_ = other.env_;
      ref_ = std::exchange(other.ref_, nullptr);
    }
    return *this;
  }
  LocalRef(const LocalRef&) = delete;
  LocalRef& operator=(const LocalRef&) = delete;
  ~LocalRef() { reset(); }

  T get() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }
  // Gives up ownership (for a reference returned to Java).
  T release() { return std::exchange(ref_, nullptr); }
  void reset() {
    if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
    ref_ = nullptr;
  }

 private:
  JNIEnv* env_ = nullptr;
  T ref_ = nullptr;
};

// A global reference, deleted when the owner goes (through the calling
// thread's env).
template <typename T>
class GlobalRef {
 public:
  GlobalRef() = default;
  // Takes a new global reference to ref (null stays null).
  GlobalRef(JNIEnv* env, T ref)
      : ref_(ref != nullptr ? static_cast<T>(env->NewGlobalRef(ref)) : nullptr) {}
  GlobalRef(GlobalRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  GlobalRef& operator=(GlobalRef&& other) noexcept {
    if (this != &other) {
      reset();
      ref_ = std::exchange(other.ref_, nullptr);
    }
    return *this;
  }
  GlobalRef(const GlobalRef&) = delete;
  GlobalRef& operator=(const GlobalRef&) = delete;
  ~GlobalRef() { reset(); }

  T get() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }
  // Gives up ownership: the caller deletes the reference.
  T release() { return std::exchange(ref_, nullptr); }
  void reset() {
    if (ref_ == nullptr) return;
    if (JNIEnv* e = env()) e->DeleteGlobalRef(ref_);
    ref_ = nullptr;
  }

 private:
  T ref_ = nullptr;
};

// The characters of a Java string (null for a null string or when no memory
// is left), released when the owner goes. They are the JVM's modified UTF-8
// with surrogate pairs joined (joinSurrogatePairs, java_text.hpp): standard
// UTF-8, except that U+0000 stays C0 80 and a surrogate without its partner
// stays as its three bytes.
//
// They are copied out with GetStringUTFRegion into a buffer sized for the
// longest possible encoding (three bytes per UTF-16 unit), not taken with
// GetStringUTFChars: the latter first walks the whole string to measure its
// encoding, which on long texts costs more than the conversion itself. Each
// thread keeps one buffer of up to kKeptBufferBytes for its next string; a
// longer string, or one taken while that buffer is in use, gets its own. When
// no buffer of that size can be had, GetStringUTFChars still serves.
class UtfChars {
 public:
  UtfChars(JNIEnv* env, jstring text);
  UtfChars(UtfChars&& other) noexcept;
  UtfChars& operator=(UtfChars&&) = delete;
  UtfChars(const UtfChars&) = delete;
  UtfChars& operator=(const UtfChars&) = delete;
  ~UtfChars();

  const char* get() const { return chars_; }
  // The characters when they lie in a buffer of the library's own, which the
  // holder may read in place (a borrowed message); null when they are the
  // virtual machine's.
  char* ownBuffer() {
    return source_ == Source::kThreadBuffer || source_ == Source::kOwnBuffer ? chars_ : nullptr;
  }
  explicit operator bool() const { return chars_ != nullptr; }
  // Byte length of the characters, without the terminating zero.
  std::size_t length() const { return length_; }

  static constexpr std::size_t kKeptBufferBytes = std::size_t{1} << 20;

 private:
  enum class Source { kNone, kThreadBuffer, kOwnBuffer, kVirtualMachine };

  void release();

  JNIEnv* env_ = nullptr;
  jstring text_ = nullptr;
  char* chars_ = nullptr;
  std::size_t length_ = 0;
  Source source_ = Source::kNone;
};

// The elements of a Java byte array, released (mode 0) when the owner goes.
class ByteArrayElements {
 public:
  ByteArrayElements(JNIEnv* env, jbyteArray array);
  ByteArrayElements(ByteArrayElements&& other) noexcept;
  ByteArrayElements& operator=(ByteArrayElements&&) = delete;
  ByteArrayElements(const ByteArrayElements&) = delete;
  ByteArrayElements& operator=(const ByteArrayElements&) = delete;
  ~ByteArrayElements();

  const char* data() const { return reinterpret_cast<const char*>(elements_); }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return elements_ != nullptr; }

 private:
  JNIEnv* env_;
  jbyteArray array_;
  jbyte* elements_ = nullptr;
  std::size_t size_ = 0;
};

// A new Java string from any native text (made well-formed first, see
// java_text.hpp); null for a null text or when the VM has no memory.
LocalRef<jstring> newString(JNIEnv* env, const char* text);
// The same when the text's length (its bytes before the terminating zero) is
// already known.
LocalRef<jstring> newString(JNIEnv* env, const char* text, std::size_t length);

}  // namespace hbconnector::detail::jvm

#endif  // HBCONNECTOR_BRIDGE_JVM_HPP_
