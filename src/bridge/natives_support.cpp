#include "bridge/natives_support.hpp"

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <vector>

#include "bridge/java_text.hpp"
#include "bridge/upcalls.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/tracing.hpp"

namespace hbconnector::detail::natives {
namespace {

std::string vformatLine(const char* format, va_list args) {
  std::vector<char> buffer(MSGBUFSIZE);
  const int n = std::vsnprintf(buffer.data(), buffer.size(), format, args);
  if (n < 0) return {};
  std::size_t length = static_cast<std::size_t>(n);
  if (length >= MSGBUFSIZE) length = characterBoundary(buffer.data(), MSGBUFSIZE - 1);
  return std::string(buffer.data(), length);
}

}  // namespace

JToCPPVeneer* veneer() { return JToCPPVeneer::getVeneer(); }

void checkJavaException(JNIEnv* env) noexcept {
  if (env == nullptr || !env->ExceptionCheck()) return;
  std::fputs("Error: Java Exception occurred while in native method.\n", stderr);
  std::fflush(stderr);
  env->ExceptionDescribe();
  env->ExceptionClear();
}

std::string formatLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = vformatLine(format, args);
  va_end(args);
  return line;
}

void traceLine(int level, const char* format, ...) noexcept {
  JToCPPVeneer* current = veneer();
  if (current == nullptr) return;
  Tracing* tracing = current->getTracing();
  if (tracing == nullptr || tracing->getTraceLevel() <= TRACE_LEVEL0) return;
  std::string line;
  va_list args;
  va_start(args, format);
  try {
    line = vformatLine(format, args);
  } catch (...) {
    // A line that cannot be made (no memory) is dropped.
  }
  va_end(args);
  if (line.empty()) return;
  try {
    current->traceWrite(level, line.c_str(), nullptr);
  } catch (...) {
  }
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
    const std::string line = formatLine("Exception in connector code (%s): %s",
                                        method != nullptr ? method : "", text.c_str());
    upcall::logMsg(line.c_str(), MSGTYPE_ERROR);
  } catch (...) {
    // A line that cannot be made or logged is dropped.
  }
}

jstring toJava(JNIEnv* env, const std::string& text) {
  return jvm::newString(env, text.c_str()).release();
}

}  // namespace hbconnector::detail::natives
