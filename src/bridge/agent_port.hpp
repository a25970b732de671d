// The agent port interface lives in the runtime; this name remains for the
// JVM helpers that register the JNI port. Remove once they include
// runtime/agent_port.hpp.
#ifndef HBCONNECTOR_BRIDGE_AGENT_PORT_HPP_
#define HBCONNECTOR_BRIDGE_AGENT_PORT_HPP_

#include "runtime/agent_port.hpp"

#endif  // HBCONNECTOR_BRIDGE_AGENT_PORT_HPP_
