// Process-wide JNI handles shared by the native methods and the JNI agent
// port.
//
// The three class references are taken by n_init (global references, kept for
// the life of the process: a later n_init keeps them when they still name the
// same classes). They are read by any thread at any time, so they are atomic.
//
// The method and field identifiers of those classes are looked up once per
// start-up: the first call that needs one asks the JVM and keeps the answer,
// later calls reuse it. A JVM identifier stays valid while its class is
// loaded, which the global class reference guarantees. n_init drops the kept
// identifiers when it takes the class references (a new start-up may bring
// other classes), and so do n_terminate and JNI_OnUnload. A lookup that fails
// keeps nothing and leaves the JVM's NoSuchMethodError or NoSuchFieldError
// pending, exactly as an uncached lookup would, so every call retries it.
#ifndef HBCONNECTOR_BRIDGE_JNI_STATE_HPP_
#define HBCONNECTOR_BRIDGE_JNI_STATE_HPP_

#include <jni.h>

namespace hbconnector::detail {

class AgentPort;

namespace jni {

// "VqCommon/ReturnStatusDescriptor", "AppSide_Connector/BusObjNativeInterface",
// "AppSide_Connector/StringBucket"; null before the first n_init.
jclass rtnStatusDespClass();
jclass busObjNativeInterfaceClass();
jclass stringBucketClass();

// Resolves the three classes with FindClass and keeps global references.
// False (with the class-not-found exception pending) when one is missing.
bool takeClassReferences(JNIEnv* env);

// The identifiers the library uses; each names its class, name and JNI
// signature once, in jvm.cpp.
enum class JavaId : unsigned char {
  // Static methods of BusObjNativeInterface.
  kGetConfigProp,
  kGetConfigPropI18n,
  kGetDeltaSupport,
  // Instance methods of BusObjNativeInterface.
  kLogMsg,
  kLogMsgWithType,
  kTraceWrite,
  kGenerateMsg,
  kGotEventFromAppText,
  kGotEventFromAppBytes,
  kConsumeSync,
  kGetCollabNames,
  kGetEncoding,
  kGetLocale,
  kIsAgentCapableOfPolling,
  // StringBucket's constructor and fields.
  kStringBucketInit,
  kStringBucketContent,
  kStringBucketContentInArray,
  // ReturnStatusDescriptor.setErrorString.
  kSetErrorString,
  kCount
};

// The identifier, looked up on first use after a start-up. Null when its
// class reference is not taken yet (nothing pending) or when the class has no
// such member (the JVM's error pending). methodId serves methods and static
// methods, fieldId fields; asking one for the other's kind gives null.
jmethodID methodId(JNIEnv* env, JavaId id);
jfieldID fieldId(JNIEnv* env, JavaId id);

// Forgets every kept identifier. Only while no other thread makes a JNI call
// through the library (start-up, shut-down, unload).
void dropIdentifiers();

// How many identifiers are kept now (for tests).
int keptIdentifierCount();

// The agent object n_init handed down (a global reference), or null when
// no connector runs.
jobject agentObject();

// The JNI implementation of the agent port; lives for the process.
AgentPort& jniAgentPort();

}  // namespace jni
}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_BRIDGE_JNI_STATE_HPP_
