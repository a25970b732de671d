// The connector of the JVM benchmark and the raw JNI echoes it is compared
// with, in one library that the Java driver loads.
//
// The connector registers the benchmark's types at init with one handler
// that returns 1 and leaves the object unchanged, so a verb request costs
// exactly the library's share: text in, tree, handler, tree out, text out.
// The echoes do what a hand-written native method would do with the same
// text: take it from Java and make a new Java value of it.
#include <jni.h>

#include <cstring>
#include <string>
#include <vector>

#include "../shapes.hpp"
#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/version.hpp"
#include "hbconnector/version_stamp.hpp"

HB_FRAMEWORK_VERSION("4.1.0");

namespace {

class UnchangedHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject&, ReturnStatusDescriptor*) override { return 1; }
};

UnchangedHandler theHandler;

class BenchConnector : public ConnectorBase {
 public:
  BOHandlerBase* getBOHandlerForBO(const char*) override { return &theHandler; }

  int init(Version*) override {
    hbbench::registerSpecs();
    for (const char* type : {"Customer", "Order", "OrderLine"}) {
      BusObjSpecRegistry::getInstance()->findSpec(type)->setBOHandler(&theHandler);
    }
    return 1;
  }

  int pollForEvents() override { return 1; }
  int terminate() override { return 1; }
  const char* getVersion() override { return "1.0.0"; }
};

BenchConnector theConnector;

hbbench::Shape shapeOf(JNIEnv* env, jstring name) {
  const char* text = env->GetStringUTFChars(name, nullptr);
  const hbbench::Shape shape = text[0] == 'S'   ? hbbench::Shape::kS
                               : text[0] == 'M' ? hbbench::Shape::kM
                                                : hbbench::Shape::kL;
  env->ReleaseStringUTFChars(name, text);
  return shape;
}

}  // namespace

extern "C" {

JNIEXPORT jbyteArray JNICALL Java_hbbench_HbBench_document(JNIEnv* env, jclass, jstring shape,
                                                           jboolean lengthPrefixed) {
  const hbbench::Document& doc = hbbench::document(shapeOf(env, shape));
  const std::string& text = lengthPrefixed ? doc.lengthPrefixed : doc.delimited;
  jbyteArray bytes = env->NewByteArray(static_cast<jsize>(text.size()));
  env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(text.size()),
                          reinterpret_cast<const jbyte*>(text.data()));
  return bytes;
}

JNIEXPORT jstring JNICALL Java_hbbench_HbBench_echoString(JNIEnv* env, jclass, jstring text) {
  const char* chars = env->GetStringUTFChars(text, nullptr);
  jstring copy = env->NewStringUTF(chars);
  env->ReleaseStringUTFChars(text, chars);
  return copy;
}

JNIEXPORT jstring JNICALL Java_hbbench_HbBench_echoStringRegion(JNIEnv* env, jclass,
                                                                jstring text) {
  // A buffer for the longest encoding (three bytes per UTF-16 unit), kept
  // for the next call, so the virtual machine does not measure the text first.
  static thread_local std::vector<char> chars;
  const jsize units = env->GetStringLength(text);
  chars.resize(static_cast<std::size_t>(units) * 3 + 1);
  env->GetStringUTFRegion(text, 0, units, chars.data());
  return env->NewStringUTF(chars.data());
}

JNIEXPORT jbyteArray JNICALL Java_hbbench_HbBench_echoBytes(JNIEnv* env, jclass, jbyteArray bytes) {
  const jsize length = env->GetArrayLength(bytes);
  jbyte* elements = env->GetByteArrayElements(bytes, nullptr);
  jbyteArray copy = env->NewByteArray(length);
  env->SetByteArrayRegion(copy, 0, length, elements);
  env->ReleaseByteArrayElements(bytes, elements, JNI_ABORT);
  return copy;
}

JNIEXPORT void JNICALL Java_hbbench_HbBench_empty(JNIEnv*, jclass) {}

JNIEXPORT jint JNICALL Java_hbbench_HbBench_lookups(JNIEnv* env, jclass, jobject bucket) {
  // What looking the bucket's field and the status method up on every call
  // costs, as the verb natives do.
  jclass bucketClass = env->GetObjectClass(bucket);
  jfieldID field = env->GetFieldID(bucketClass, "content", "Ljava/lang/String;");
  jclass statusClass = env->FindClass("VqCommon/ReturnStatusDescriptor");
  jmethodID method = env->GetMethodID(statusClass, "setErrorString", "(Ljava/lang/String;)V");
  env->DeleteLocalRef(statusClass);
  env->DeleteLocalRef(bucketClass);
  return field != nullptr && method != nullptr ? 1 : 0;
}

}  // extern "C"
