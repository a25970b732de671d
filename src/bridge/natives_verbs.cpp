// Verb requests from the agent (n_DoVerbFor, n_DoVerbForI18n).
//
// This build carries no business object model, so a verb request cannot be
// performed: both methods leave the bucket untouched, give the agent's status
// object a message that says so, and answer -1.
#include <jni.h>

#include "bridge/jni_state.hpp"
#include "bridge/jvm.hpp"
#include "bridge/natives_support.hpp"

namespace hbconnector::detail::natives {
namespace {

constexpr char VERBS_UNAVAILABLE[] = "verb requests are not available in this build";

jint refuseVerb(JNIEnv* env, jobject status) {
  return boundary(env, jint{-1}, true, [&] {
    jclass statusClass = jni::rtnStatusDespClass();
    if (veneer() == nullptr || status == nullptr || statusClass == nullptr) return -1;
    jmethodID setErrorString =
        env->GetMethodID(statusClass, "setErrorString", "(Ljava/lang/String;)V");
    if (setErrorString == nullptr) return -1;
    jvm::LocalRef<jstring> message = jvm::newString(env, VERBS_UNAVAILABLE);
    if (message) env->CallVoidMethod(status, setErrorString, message.get());
    return -1;
  });
}

}  // namespace
}  // namespace hbconnector::detail::natives

extern "C" {

JNIEXPORT jint JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1DoVerbFor(
    JNIEnv* env, jobject, jobject /*bucket*/, jboolean /*transactional*/, jobject status) {
  return hbconnector::detail::natives::refuseVerb(env, status);
}

JNIEXPORT jint JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1DoVerbForI18n(
    JNIEnv* env, jobject, jobject /*bucket*/, jboolean /*transactional*/, jobject status) {
  return hbconnector::detail::natives::refuseVerb(env, status);
}

}  // extern "C"
