// What every native method of BusObjNativeInterface shares: the boundary
// guard, the Java exception check, and the library's own trace lines.
#ifndef HBCONNECTOR_BRIDGE_NATIVES_SUPPORT_HPP_
#define HBCONNECTOR_BRIDGE_NATIVES_SUPPORT_HPP_

#include <jni.h>

#include <cstddef>
#include <string>

#include "bridge/jvm.hpp"
#include "collections/text.hpp"
#include "hbconnector/export.hpp"

class JToCPPVeneer;

namespace hbconnector::detail::natives {

// The current veneer, or null before n_init and after n_terminate.
JToCPPVeneer* veneer();

// Describes and clears a pending Java exception (after a notice on standard
// error), so that none ever reaches the Java caller.
void checkJavaException(JNIEnv* env) noexcept;

// The library trace line of the runtime (libraryTrace: only when the current
// trace level is above 0, at most kTraceLineLimit - 1 bytes, cut before a
// character that would be split), made safe for a native method: a line
// that cannot be made is dropped.
void traceLine(int level, const char* format, ...) noexcept HB_PRINTF_FORMAT(2, 3);

// Lines of the native methods that are not traced are formatted with
// formatBoundedLine (collections/text.hpp), cut like traceLine.

// The boundary of a native method: remembers the VM, runs body, turns anything
// it throws into `failure`, and, when check is set, runs the Java exception
// check last. Nothing escapes into the JVM.
template <typename Result, typename Body>
Result boundary(JNIEnv* env, Result failure, bool check, Body&& body) noexcept {
  jvm::rememberEnv(env);
  Result result = failure;
  try {
    result = body();
  } catch (...) {
    result = failure;
  }
  if (check) checkJavaException(env);
  return result;
}

// The text of the exception being handled; call it only inside a catch
// block. what() of a std::exception, the text of a thrown const char*, char*
// or std::string, else a fixed text naming no type.
std::string thrownText() noexcept;

// Logs the text of the exception being handled (thrownText) as an error line
// of its own, "Exception in connector code (<method>): <text>", cut to
// kTraceLineLimit - 1 bytes, through upcall::logComposed (typed, so it is
// also the thread's pending error text); call it only inside a catch block,
// beside the message that reports the throw.
void logThrown(const char* method) noexcept;

// The characters of a Java string argument; empty (null chars) for a null
// string.
inline jvm::UtfChars chars(JNIEnv* env, jstring text) { return jvm::UtfChars(env, text); }

// A new Java string handed to the caller (null only when the VM has no memory).
jstring toJava(JNIEnv* env, const std::string& text);

}  // namespace hbconnector::detail::natives

#endif  // HBCONNECTOR_BRIDGE_NATIVES_SUPPORT_HPP_
