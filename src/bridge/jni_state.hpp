// Process-wide JNI handles shared by the native methods and the JNI agent
// port.
//
// The three class references are taken by n_init (global references, kept for
// the life of the process: a later n_init keeps them when they still name the
// same classes). They are read by any thread at any time, so they are atomic.
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

// The agent object of the current veneer (a global reference), or null when
// no connector runs.
jobject agentObject();

// The JNI implementation of the agent port; lives for the process.
AgentPort& jniAgentPort();

}  // namespace jni
}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_BRIDGE_JNI_STATE_HPP_
