#include "bridge/natives_support.hpp"

#include <cstdarg>
#include <cstdio>
#include <exception>

#include "collections/text.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/tracing.hpp"
#include "runtime/runtime_internal.hpp"
#include "runtime/upcalls.hpp"

namespace hbconnector::detail::natives {

JToCPPVeneer* veneer() { return JToCPPVeneer::getVeneer(); }

void checkJavaException(JNIEnv* env) noexcept {
  if (env == nullptr || !env->ExceptionCheck()) return;
  std::fputs("Error: Java Exception occurred while in native method.\n", stderr);
  std::fflush(stderr);
  env->ExceptionDescribe();
  env->ExceptionClear();
}

void traceLine(int level, const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  try {
    vlibraryTrace(level, format, args);
  } catch (...) {
    // A line that cannot be made (no memory) is dropped.
  }
  va_end(args);
}

std::string thrownText() noexcept {
  try {
    try {
      // Called only from catch handlers, so there is always an exception to rethrow.
      // cppcheck-suppress rethrowNoCurrentException
      throw;
    } catch (const std::exception& e) {
      const char* what = e.what();
      return what != nullptr ? what : "";
    } catch (const char* text) {
      return text != nullptr ? text : "";
    } catch (const std::string& text) {
      return text;
    } catch (...) {
    }
  } catch (...) {
    // No memory for the copy of the text.
    return {};
  }
  return "an exception that is neither a std::exception nor a text";
}

void logThrown(const char* method) noexcept {
  try {
    const std::string text = thrownText();
    const std::string line = formatBoundedLine("Exception in connector code (%s): %s",
                                               method != nullptr ? method : "", text.c_str());
    upcall::logComposed(line.c_str(), MSGTYPE_ERROR, true);
  } catch (...) {
    // A line that cannot be made or logged is dropped.
  }
}

jstring toJava(JNIEnv* env, const std::string& text) {
  return jvm::newString(env, text.c_str()).release();
}

}  // namespace hbconnector::detail::natives
