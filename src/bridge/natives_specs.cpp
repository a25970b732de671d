// Business object specifications from the agent (n_gotBusObjSpec,
// n_gotBusObjSpecI18n).
//
// This build carries no business object model, so a specification cannot be
// registered: both methods log a warning naming the refusal and otherwise
// change nothing.
#include <jni.h>

#include "bridge/natives_support.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/tracing.hpp"

namespace hbconnector::detail::natives {
namespace {

constexpr char SPECS_UNAVAILABLE[] =
    "business object specifications are not available in this build";

void refuseSpec(JNIEnv* env) {
  boundary(env, 0, true, [] {
    if (JToCPPVeneer* current = veneer()) current->logMsg(SPECS_UNAVAILABLE, MSGTYPE_WARNING);
    return 0;
  });
}

}  // namespace
}  // namespace hbconnector::detail::natives

extern "C" {

JNIEXPORT void JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1gotBusObjSpec(JNIEnv* env,
                                                                                      jobject,
                                                                                      jstring) {
  hbconnector::detail::natives::refuseSpec(env);
}

JNIEXPORT void JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1gotBusObjSpecI18n(
    JNIEnv* env, jobject, jbyteArray) {
  hbconnector::detail::natives::refuseSpec(env);
}

}  // extern "C"
