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
#include <new>
#include <optional>
#include <string>

#include "bridge/jni_state.hpp"
#include "bridge/jvm.hpp"
#include "bridge/natives_support.hpp"
#include "busobj/busobj_access.hpp"
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

// The bytes of a request's array copied out once, with a zero after them,
// into a buffer that the thread keeps for its next request (up to
// kKeptBytes); a longer array, or one read while the kept buffer is taken (a
// request made from within a request), gets a buffer of its own. The reader
// reads them in place; the object read holds copies of its texts, so the
// bytes are let go once it is built.
constexpr std::size_t kKeptBytes = std::size_t{1} << 20;

struct KeptBytes {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
  bool inUse = false;
};
thread_local KeptBytes keptBytes;

class RequestBytes {
 public:
  // Empty (data() null) when no memory can be had.
  RequestBytes(JNIEnv* env, jbyteArray array, jsize length) : length_(length) {
    const std::size_t needed = static_cast<std::size_t>(length) + 1;
    if (!keptBytes.inUse && needed <= kKeptBytes) {
      if (keptBytes.size < needed) {
        keptBytes.data.reset(new (std::nothrow) char[needed]);
        keptBytes.size = keptBytes.data ? needed : 0;
      }
      if (keptBytes.data) {
        data_ = keptBytes.data.get();
        keptBytes.inUse = true;
        kept_ = true;
      }
    }
    if (data_ == nullptr) {
      own_.reset(new (std::nothrow) char[needed]);
      data_ = own_.get();
    }
    if (data_ == nullptr) return;
    env->GetByteArrayRegion(array, 0, length, reinterpret_cast<jbyte*>(data_));
    data_[length] = '\0';
  }
  RequestBytes(const RequestBytes&) = delete;
  RequestBytes& operator=(const RequestBytes&) = delete;
  ~RequestBytes() { release(); }

  void release() {
    if (kept_) keptBytes.inUse = false;
    kept_ = false;
    own_.reset();
    data_ = nullptr;
  }
  char* data() const { return data_; }
  std::size_t size() const { return static_cast<std::size_t>(length_); }

 private:
  jsize length_;
  char* data_ = nullptr;
  std::unique_ptr<char[]> own_;
  bool kept_ = false;
};

// The record written back goes into a message that the thread keeps for its
// next request, so that a stream of similar requests writes without a new
// message or buffer growth; a request made from within a request on the same
// thread writes into a message of its own, and a kept message whose text grew
// beyond kKeptBytes is let go after use.
template <typename Message>
struct KeptMessage {
  std::unique_ptr<Message> message;
  bool inUse = false;
};

template <typename Message>
KeptMessage<Message>& keptMessage() {
  thread_local KeptMessage<Message> kept;
  return kept;
}

template <typename Message>
class WrittenRecord {
 public:
  WrittenRecord() : kept_(keptMessage<Message>()) {
    if (!kept_.inUse) {
      if (!kept_.message) kept_.message = std::make_unique<Message>();
      kept_.inUse = true;
      message_ = kept_.message.get();
    } else {
      own_ = std::make_unique<Message>();
      message_ = own_.get();
    }
  }
  WrittenRecord(const WrittenRecord&) = delete;
  WrittenRecord& operator=(const WrittenRecord&) = delete;
  ~WrittenRecord() {
    if (own_) return;
    if (message_->textSize() > kKeptBytes) {
      kept_.message.reset();
    } else {
      message_->clearText();
    }
    kept_.inUse = false;
  }
  Message& get() { return *message_; }

 private:
  KeptMessage<Message>& kept_;
  Message* message_ = nullptr;
  std::unique_ptr<Message> own_;
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
  WrittenRecord<StringMessage> written;
  BusObjAccess::writeRecord(bo, written.get(), false);
  const char* text = written.get().getText();
  std::size_t length = written.get().textSize();
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
  jvm::LocalRef<jstring> value = jvm::newString(request.env, text, length);
  if (value) request.env->SetObjectField(request.bucket, request.field, value.get());
  return true;
}

// Byte-array form: the object's record replaces the bucket's bytes, exactly
// the record's length (no terminating zero).
template <typename Object>
bool storeBytes(const Request& request, const Object& bo) {
  WrittenRecord<StringMessageI18N> written;
  BusObjAccess::writeRecord(bo, written.get(), true);
  const jsize length = written.get().getLength();
  settle(request.env);
  jvm::LocalRef<jbyteArray> bytes(request.env, request.env->NewByteArray(length));
  if (!bytes) return true;
  request.env->SetByteArrayRegion(bytes.get(), 0, length,
                                  reinterpret_cast<const jbyte*>(written.get().getText()));
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

// The request on bucket; nothing when no connector runs, there is no bucket
// or its content field cannot be found.
std::optional<Request> startRequest(JNIEnv* env, jobject bucket, jobject status,
                                    jni::JavaId field) {
  JToCPPVeneer* current = veneer();
  if (current == nullptr || bucket == nullptr) return std::nullopt;
  Request request{env, current, bucket, status, bucketField(env, field)};
  if (request.field == nullptr) return std::nullopt;
  return request;
}

int doVerbFor(JNIEnv* env, jobject bucket, jboolean transactional, jobject status) {
  std::optional<Request> started =
      startRequest(env, bucket, status, jni::JavaId::kStringBucketContent);
  if (!started) return -1;
  Request& request = *started;

  std::optional<jvm::LocalRef<jstring>> content(
      std::in_place, env, static_cast<jstring>(env->GetObjectField(bucket, request.field)));
  if (!*content) return -1;
  std::optional<jvm::UtfChars> chars(std::in_place, env, content->get());
  if (!*chars) return -1;
  char encoding[kEncodingSize] = {};
  request.veneer->getConfigProp("CharacterEncoding", encoding, kEncodingSize);
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
    // The converted text is read in place and goes once the object is built.
    StringMessage reader(StringMessage::Borrowed{}, converted.get(), std::strlen(converted.get()));
    return dispatch<false>(request, reader, transactional != JNI_FALSE, [&] { converted.reset(); });
  }
  // The characters are read in place where they were copied out of the
  // string, and let go (with the thread's kept buffer) once the object is
  // built: the object holds copies of its texts.
  content.reset();
  if (char* own = chars->ownBuffer()) {
    StringMessage reader(StringMessage::Borrowed{}, own, chars->length());
    return dispatch<false>(request, reader, transactional != JNI_FALSE, [&] { chars.reset(); });
  }
  // The virtual machine's own characters are not ours to lend: copied.
  StringMessage reader(chars->get());
  chars.reset();
  return dispatch<false>(request, reader, transactional != JNI_FALSE, [] {});
}

int doVerbForI18n(JNIEnv* env, jobject bucket, jboolean transactional, jobject status) {
  std::optional<Request> started =
      startRequest(env, bucket, status, jni::JavaId::kStringBucketContentInArray);
  if (!started) return -1;
  Request& request = *started;

  std::optional<RequestBytes> bytes;
  {
    jvm::LocalRef<jbyteArray> content(
        env, static_cast<jbyteArray>(env->GetObjectField(bucket, request.field)));
    if (!content) return -1;
    // One copy of the elements, none written back (the bytes are only read).
    const jsize length = env->GetArrayLength(content.get());
    bytes.emplace(env, content.get(), length);
    if (bytes->data() == nullptr) return -1;
  }  // the content reference is released here
  // The array carries no terminating zero; the copy has one after its bytes,
  // and reading stops at the first zero byte as a copied message's would.
  StringMessageI18N reader(StringMessage::Borrowed{}, bytes->data(), bytes->size());
  return dispatch<true>(request, reader, transactional != JNI_FALSE, [&] { bytes.reset(); });
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
