// Business object specifications from the agent (n_gotBusObjSpec,
// n_gotBusObjSpecI18n). Both hand the length-prefixed spec text to the
// veneer, which builds the spec, attaches the connector's handler and
// registers it.
#include <jni.h>

#include <cstring>
#include <string>

#include "bridge/jvm.hpp"
#include "bridge/natives_support.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/tracing.hpp"
#include "runtime/runtime_internal.hpp"

namespace hbconnector::detail::natives {
namespace {

constexpr char kSpecTraceHeader[] = "BusObjNativeInterface_n_gotBusObjSpec got BusObjSpec string:";

// Traces the whole spec text after the header. A spec text can be far longer
// than an ordinary trace line, so this line is built to its full length.
void traceSpec(JToCPPVeneer& veneer, const char* text, std::size_t length) {
  if (!libraryTraceEnabled()) return;
  std::string line;
  line.reserve(sizeof kSpecTraceHeader + length + 2);
  line += kSpecTraceHeader;
  line += '\n';
  line.append(text, length);
  line += '\n';
  veneer.traceWrite(TRACE_LEVEL5, line.c_str());
}

void handOver(JToCPPVeneer& veneer, const char* text, std::size_t length) {
  traceSpec(veneer, text, length);
  veneer.gotBusObjSpec(text, static_cast<int>(length));
}

}  // namespace
}  // namespace hbconnector::detail::natives

extern "C" {

JNIEXPORT void JNICALL
Java_AppSide_1Connector_BusObjNativeInterface_n_1gotBusObjSpec(JNIEnv* env, jobject, jstring spec) {
  namespace natives = hbconnector::detail::natives;
  natives::boundary(env, 0, true, [&] {
    JToCPPVeneer* current = natives::veneer();
    hbconnector::detail::jvm::UtfChars text = natives::chars(env, spec);
    if (current == nullptr || !text) return 0;
    natives::handOver(*current, text.get(), text.length());
    return 0;
  });
}

JNIEXPORT void JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1gotBusObjSpecI18n(
    JNIEnv* env, jobject, jbyteArray spec) {
  namespace natives = hbconnector::detail::natives;
  natives::boundary(env, 0, true, [&] {
    JToCPPVeneer* current = natives::veneer();
    if (current == nullptr || spec == nullptr) return 0;
    hbconnector::detail::jvm::ByteArrayElements bytes(env, spec);
    if (!bytes) return 0;
    // The text ends at the first zero byte, and never beyond the array.
    const void* zero = std::memchr(bytes.data(), 0, bytes.size());
    const std::size_t length =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes.data())
                        : bytes.size();
    natives::handOver(*current, bytes.data(), length);
    return 0;
  });
}

}  // extern "C"
