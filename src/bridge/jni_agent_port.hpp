// The agent object the JNI agent port calls instance methods on. The native
// methods that start and stop the connector hand it down here, so the port
// never asks the runtime for it.
#ifndef HBCONNECTOR_BRIDGE_JNI_AGENT_PORT_HPP_
#define HBCONNECTOR_BRIDGE_JNI_AGENT_PORT_HPP_

#include <jni.h>

namespace hbconnector::detail::jni {

// Makes agent (a global reference the caller keeps alive) the object of the
// port's instance upcalls; jni::agentObject() answers it from now on.
void setAgentObject(jobject agent);
// Stops using agent, if it is still the port's object. Call before the
// global reference is deleted.
void clearAgentObject(jobject agent);

}  // namespace hbconnector::detail::jni

#endif  // HBCONNECTOR_BRIDGE_JNI_AGENT_PORT_HPP_
