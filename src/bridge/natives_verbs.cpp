// Verb requests from the agent (n_DoVerbFor, n_DoVerbForI18n).
//
// The agent hands over a business object in a StringBucket (as text in
// `content`, or as length-prefixed bytes in `contentinArray`) and its own
// ReturnStatusDescriptor. The object is rebuilt (a TransactionBusinessObject
// for transactional requests), its verb runs through the type's handler, the
// handler's status message goes to the agent's descriptor, and for the results
// 1 and -5 the changed object replaces the bucket's content. Every other
// result leaves the bucket exactly as the agent set it.
//
// Text form and "ascii8": when the connector's "CharacterEncoding" property is
// exactly "ascii8", the text is converted from the JVM's UTF-8 to 8-bit
// characters before reading and back after writing. The byte-array form is
// never converted.
//
// Every resource a request takes (Java characters and array elements, local
// references, the native descriptor, readers, the object, converted texts) is
// owned by a scoped holder, so each way out of a request, early returns
// included, releases all of it.
//
// Results besides the connector's own: -1 when there is no running connector,
// when the bucket holds no content, when the object cannot be read (an unknown
// type, malformed text) or its type has no handler, when a character
// conversion fails (message 80400), and when connector code throws (messages
// 80401 to 80403). In all these cases the bucket is untouched.
#include <jni.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "bridge/jni_state.hpp"
#include "bridge/jvm.hpp"
#include "bridge/natives_support.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/encoding.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/tracing.hpp"
#include "hbconnector/transaction_busobj.hpp"
#include "runtime/upcalls.hpp"

namespace hbconnector::detail::natives {
namespace {

// "CharacterEncoding" is read into this many bytes.
constexpr int kEncodingSize = 25;
// The decimal text of a thrown int is formatted into this many bytes.
constexpr std::size_t kThrownIntSize = 512;

constexpr char kAscii8[] = "ascii8";

// The request's own state besides the object: the veneer it runs on and
// whether the text is converted.
struct Request {
  JNIEnv* env;
  JToCPPVeneer* veneer;
  jobject bucket;
  jobject status;
  jfieldID field;
  bool ascii8 = false;
};

// Once an upcall has left a Java exception pending, no other JNI call may be
// made; such an exception is reported and cleared at once, as the final check
// would do, so the request can go on.
void settle(JNIEnv* env) {
  if (env->ExceptionCheck()) checkJavaException(env);
}

// The elements of a byte array held directly; no JNI call may be made until
// it goes (only the reader's copy is made meanwhile).
class CriticalBytes {
 public:
  CriticalBytes(JNIEnv* env, jbyteArray array)
      : env_(env), array_(array), data_(env->GetPrimitiveArrayCritical(array, nullptr)) {}
  CriticalBytes(const CriticalBytes&) = delete;
  CriticalBytes& operator=(const CriticalBytes&) = delete;
  ~CriticalBytes() {
    if (data_ != nullptr) env_->ReleasePrimitiveArrayCritical(array_, data_, JNI_ABORT);
  }
  const char* data() const { return static_cast<const char*>(data_); }

 private:
  JNIEnv* env_;
  jbyteArray array_;
  void* data_;
};

// Runs the verb of bo with connector code's exceptions turned into messages.
// threw is set when connector code threw; the result is then -1.
template <typename Object>
int performVerb(Object& bo, ReturnStatusDescriptor& status, bool* threw) {
  *threw = true;
  try {
    const int result = bo.doVerbFor(&status);
    *threw = false;
    return result;
  } catch (int value) {
    char text[kThrownIntSize];
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(value));
    upcall::composeMessage(kMsgUserCodeInt, text);
  } catch (char* text) {
    upcall::composeMessage(kMsgUserCodeText, text != nullptr ? text : "");
  } catch (const char* text) {
    upcall::composeMessage(kMsgUserCodeText, text != nullptr ? text : "");
  } catch (...) {
    upcall::composeMessage(kMsgUserCodeException, "DoVerbFor");
    logThrown("DoVerbFor");
  }
  return -1;
}

// Gives the connector's status message to the agent's descriptor.
void passStatusMessage(const Request& request, const ReturnStatusDescriptor& status) {
  const char* message = status.getErrorString();
  if (message == nullptr) return;
  Tracing* tracing = request.veneer->getTracing();
  if (tracing != nullptr && tracing->getTraceLevel() > TRACE_LEVEL0) {
    const std::string line = std::string("Message from Connector ") + message;
    request.veneer->traceWrite(TRACE_LEVEL3, line.c_str());
  }
  settle(request.env);
  jclass statusClass = jni::rtnStatusDespClass();
  if (statusClass == nullptr || request.status == nullptr) return;
  jmethodID setErrorString = jni::methodId(request.env, jni::JavaId::kSetErrorString);
  if (setErrorString == nullptr) return;
  jvm::LocalRef<jstring> text = jvm::newString(request.env, message);
  if (!text) return;
  request.env->CallVoidMethod(request.status, setErrorString, text.get());
  settle(request.env);
}

// Text form: the object's record replaces the bucket's string (converted back
// to UTF-8 in ascii8 mode). False after message 80400.
template <typename Object>
bool storeText(const Request& request, const Object& bo) {
  std::unique_ptr<StringMessage> written(bo.toStringMessage());
  const char* text = written->getText();
  std::size_t length = static_cast<std::size_t>(written->getLength());
  std::unique_ptr<char[]> converted;
  if (request.ascii8) {
    converted.reset(ascii8ToUtf8(text));
    if (!converted) {
      upcall::reportMessage(kMsgConversionFailed, "");
      return false;
    }
    text = converted.get();
    length = std::strlen(text);
  }
  settle(request.env);
  // getLength stops at INT_MAX: past that the text is measured again.
  if (length == INT_MAX) length = std::strlen(text);
  jvm::LocalRef<jstring> value = jvm::newString(request.env, text, length);
  if (value) request.env->SetObjectField(request.bucket, request.field, value.get());
  return true;
}

// Byte-array form: the object's record replaces the bucket's bytes, exactly
// the record's length (no terminating zero).
template <typename Object>
bool storeBytes(const Request& request, const Object& bo) {
  std::unique_ptr<StringMessageI18N> written(bo.toStringMessageI18N());
  const jsize length = written->getLength();
  settle(request.env);
  jvm::LocalRef<jbyteArray> bytes(request.env, request.env->NewByteArray(length));
  if (!bytes) return true;
  request.env->SetByteArrayRegion(bytes.get(), 0, length,
                                  reinterpret_cast<const jbyte*>(written->getText()));
  request.env->SetObjectField(request.bucket, request.field, bytes.get());
  return true;
}

// Steps shared by both forms once the reader exists: build the object, let
// go of what it was read from (done), run its verb, pass the message, write
// the object back for 1 and -5.
template <typename Object, bool kBytes, typename Done>
int runRequest(const Request& request, StringMessage& reader, Done&& done) {
  auto bo = std::make_unique<Object>(reader);
  done();
  ReturnStatusDescriptor status;
  bool threw = false;
  const int result = performVerb(*bo, status, &threw);
  // After an exception the agent's descriptor receives nothing.
  if (!threw) passStatusMessage(request, status);
  if (result == 1 || result == -5) {
    const bool stored = kBytes ? storeBytes(request, *bo) : storeText(request, *bo);
    if (!stored) return -1;
  }
  return result;
}

template <bool kBytes, typename Done>
int dispatch(const Request& request, StringMessage& reader, bool transactional, Done&& done) {
  return transactional ? runRequest<TransactionBusinessObject, kBytes>(request, reader, done)
                       : runRequest<BusinessObject, kBytes>(request, reader, done);
}

// The bucket field's ID, or null (its lookup error cleared by the final check).
jfieldID bucketField(JNIEnv* env, jni::JavaId field) {
  jclass bucketClass = jni::stringBucketClass();
  return bucketClass != nullptr ? jni::fieldId(env, field) : nullptr;
}

int doVerbFor(JNIEnv* env, jobject bucket, jboolean transactional, jobject status) {
  JToCPPVeneer* current = veneer();
  if (current == nullptr || bucket == nullptr) return -1;
  Request request{env, current, bucket, status,
                  bucketField(env, jni::JavaId::kStringBucketContent)};
  if (request.field == nullptr) return -1;

  std::optional<jvm::LocalRef<jstring>> content(
      std::in_place, env, static_cast<jstring>(env->GetObjectField(bucket, request.field)));
  if (!*content) return -1;
  std::optional<jvm::UtfChars> chars(std::in_place, env, content->get());
  if (!*chars) return -1;
  char encoding[kEncodingSize] = {};
  current->getConfigProp("CharacterEncoding", encoding, kEncodingSize);
  settle(env);
  request.ascii8 = std::string(encoding) == kAscii8;
  if (request.ascii8) {
    std::unique_ptr<char[]> converted(utf8ToAscii8(chars->get()));
    if (!converted) {
      upcall::reportMessage(kMsgConversionFailed, "");
      return -1;
    }
    chars.reset();
    content.reset();
    StringMessage reader(converted.get());
    converted.reset();
    return dispatch<false>(request, reader, transactional != JNI_FALSE, [] {});
  }
  // The reader keeps its own copy of the agent's characters, so they and the
  // content reference are released before the object is even built.
  StringMessage reader(chars->get());
  chars.reset();
  content.reset();
  return dispatch<false>(request, reader, transactional != JNI_FALSE, [] {});
}

int doVerbForI18n(JNIEnv* env, jobject bucket, jboolean transactional, jobject status) {
  JToCPPVeneer* current = veneer();
  if (current == nullptr || bucket == nullptr) return -1;
  Request request{env, current, bucket, status,
                  bucketField(env, jni::JavaId::kStringBucketContentInArray)};
  if (request.field == nullptr) return -1;

  std::unique_ptr<StringMessage> reader;
  {
    jvm::LocalRef<jbyteArray> content(
        env, static_cast<jbyteArray>(env->GetObjectField(bucket, request.field)));
    if (!content) return -1;
    // The reader takes its one copy straight from the array: no copy of the
    // elements first, none written back (the bytes are only read).
    const jsize length = env->GetArrayLength(content.get());
    CriticalBytes bytes(env, content.get());
    if (bytes.data() == nullptr && length != 0) return -1;
    // The array carries no terminating zero; the reader copies exactly its bytes.
    reader = std::make_unique<StringMessageI18N>(bytes.data() != nullptr ? bytes.data() : "",
                                                 static_cast<std::size_t>(length));
  }  // the array and the content reference are released here
  return dispatch<true>(request, *reader, transactional != JNI_FALSE, [&] { reader.reset(); });
}

}  // namespace
}  // namespace hbconnector::detail::natives

extern "C" {

JNIEXPORT jint JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1DoVerbFor(
    JNIEnv* env, jobject, jobject bucket, jboolean transactional, jobject status) {
  using namespace hbconnector::detail::natives;
  return boundary(env, jint{-1}, true,
                  [&] { return doVerbFor(env, bucket, transactional, status); });
}

JNIEXPORT jint JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1DoVerbForI18n(
    JNIEnv* env, jobject, jobject bucket, jboolean transactional, jobject status) {
  using namespace hbconnector::detail::natives;
  return boundary(env, jint{-1}, true,
                  [&] { return doVerbForI18n(env, bucket, transactional, status); });
}

}  // extern "C"
