#include "hbconnector/tracing.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>

#include "collections/decimal.hpp"
#include "collections/text.hpp"
#include "hbconnector/connector.hpp"
#include "runtime/runtime_internal.hpp"
#include "runtime/upcalls.hpp"

int TRACE_LEVEL0 = 0;

namespace {

// Every delimiter ever set stays allocated, so a pointer handed out by
// getTraceDelimiter never dangles while another thread sets a new one. Only
// distinct texts are kept, so the set stays tiny.
std::mutex& delimiterMutex() {
  static std::mutex& mutex = *new std::mutex;
  return mutex;
}
std::set<std::string>& knownDelimiters() {
  static std::set<std::string>& texts = *new std::set<std::string>;
  return texts;
}
std::atomic<const char*> currentDelimiter{","};

// The pending error text belongs to the thread whose request failed: requests
// running on other threads at the same time neither see nor replace it.
thread_local std::string pendingErrorText;
thread_local bool errorPending = false;

}  // namespace

const char* getTraceDelimiter() { return currentDelimiter.load(std::memory_order_acquire); }

void setTraceDelimiter(const char* delimiter) {
  if (delimiter == nullptr) return;
  std::lock_guard<std::mutex> lock(delimiterMutex());
  const std::string& kept = *knownDelimiters().insert(delimiter).first;
  currentDelimiter.store(kept.c_str(), std::memory_order_release);
}

namespace hbconnector::detail {

int configuredTraceLevel() {
  int level = TRACE_LEVEL0;
  char value[512];
  if (ConnectorBase::getConfigProp(TRACE_LEVEL_PROPERTY, value, sizeof value) > 0) {
    level = decimalToInt(value);
  }
  char levelText[16];
  std::snprintf(levelText, sizeof levelText, "%d", level);
  upcall::composeMessage(kMsgTraceLevelRead, levelText);
  return level;
}

bool isErrorClassType(int type) {
  return type == MSGTYPE_STATUS || type == MSGTYPE_ERROR || type == MSGTYPE_FATAL;
}

bool libraryTraceEnabled() {
  JToCPPVeneer* veneer = JToCPPVeneer::getVeneer();
  Tracing* tracing = veneer != nullptr ? veneer->getTracing() : nullptr;
  return tracing != nullptr && tracing->getTraceLevel() > TRACE_LEVEL0;
}

void vlibraryTrace(int level, const char* format, va_list args) {
  if (!libraryTraceEnabled()) return;
  const std::string line = vformatBoundedLine(format, args);
  if (line.empty()) return;
  if (JToCPPVeneer* veneer = JToCPPVeneer::getVeneer()) veneer->traceWrite(level, line.c_str());
}

void libraryTrace(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlibraryTrace(level, format, args);
  va_end(args);
}

}  // namespace hbconnector::detail

using hbconnector::detail::copyText;
namespace upcall = hbconnector::detail::upcall;

Tracing::Tracing(const char* connectorName) {
  if (connectorName == nullptr) return;
  name_ = copyText(connectorName);
  setTraceLevel(hbconnector::detail::configuredTraceLevel());
}

Tracing::~Tracing() { delete[] name_; }

void Tracing::write(int level, const char* text, const char* extra) {
  if (level < 0 || level > getTraceLevel()) return;
  upcall::traceWrite(*this, level, text, extra);
}

void Tracing::write(int level, const char* text) { write(level, text, nullptr); }

void Tracing::setTraceLevel(int level) {
  level_.store(level, std::memory_order_relaxed);
  char params[32];
  std::snprintf(params, sizeof params, "%d,%d", level, level);
  upcall::composeMessage(hbconnector::detail::kMsgTraceLevelSet, params);
}

void Tracing::setConnectorName(char* name) {
  if (name == name_) return;
  delete[] name_;
  name_ = name;
}

MsgGenerator::~MsgGenerator() { std::free(buffer_); }

char* MsgGenerator::generateMsg(int id, int type, const char* extra, int flag, int count, ...) {
  va_list params;
  va_start(params, count);
  char* text = vgenerateMsg(id, type, extra, flag, count, params);
  va_end(params);
  return text;
}

char* MsgGenerator::vgenerateMsg(int id, int type, const char* extra, int flag, int count,
                                 va_list params) {
  // No fixed limit on the joined text: every parameter reaches the agent whole.
  std::string joined;
  for (int i = 0; i < count; ++i) {
    const char* param = va_arg(params, const char*);
    if (param != nullptr) joined += param;
    joined += ',';
  }
  if (!joined.empty()) joined.pop_back();
  return upcall::generateMsg(id, type, extra, flag, count, joined.c_str());
}

void JToCPPVeneer::recordErrorMsg(const char* text) {
  if (errorPending || text == nullptr) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // The "xxx" is literal: the stamp keeps a fixed width of 24 characters.
  char stamp[64];
  const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S.xxx:", &local);
  pendingErrorText.assign(stamp, length);
  pendingErrorText += text;
  errorPending = true;
}

const char* JToCPPVeneer::getErrorMsg() {
  return errorPending ? pendingErrorText.c_str() : nullptr;
}

void JToCPPVeneer::clearErrorMsg() {
  errorPending = false;
  pendingErrorText.clear();
}
