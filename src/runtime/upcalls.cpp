#include "runtime/upcalls.hpp"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "hbconnector/connector.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/tracing.hpp"
#include "runtime/agent_port.hpp"
#include "runtime/runtime_internal.hpp"

namespace hbconnector::detail::upcall {
namespace {

bool usable(char* buffer, int size) { return buffer != nullptr && size > 0; }

// The shared tail of the property lookups: a missing answer leaves the buffer
// empty and counts as nothing stored; any answer is traced.
int finishLookup(const char* name, char* buffer, int stored) {
  if (stored < 0) {
    buffer[0] = '\0';
    return 0;
  }
  libraryTrace(TRACE_LEVEL4, "%s was returned from AppEndConfig for property name:%s", buffer,
               name);
  return stored;
}

// One agent answer kept for the life of the process once the agent gave it.
// A missing answer is not kept, so the agent is asked again next time (an
// early call made before the agent was reachable must not hide its answer).
class CachedAnswer {
 public:
  using Fetch = bool (AgentPort::*)(std::string*);
  explicit CachedAnswer(Fetch fetch) : fetch_(fetch) {}

  StringMessage* get() {
    if (StringMessage* kept = value_.load(std::memory_order_acquire)) return kept;
    std::lock_guard<std::mutex> lock(mutex_);
    if (StringMessage* kept = value_.load(std::memory_order_relaxed)) return kept;
    std::string answer;
    if (!(agentPort().*fetch_)(&answer)) return nullptr;
    auto* message = new StringMessage(answer.c_str());
    value_.store(message, std::memory_order_release);
    return message;
  }

  // Only while no other thread holds the kept message (tests).
  void reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    delete value_.exchange(nullptr, std::memory_order_acq_rel);
  }

 private:
  const Fetch fetch_;
  std::mutex mutex_;
  std::atomic<StringMessage*> value_{nullptr};
};

// Never destroyed, so that agent threads still running while the process
// exits find them intact.
CachedAnswer& encodingCache() {
  static CachedAnswer& cache = *new CachedAnswer(&AgentPort::getEncoding);
  return cache;
}
CachedAnswer& localeCache() {
  static CachedAnswer& cache = *new CachedAnswer(&AgentPort::getLocale);
  return cache;
}

// The connector name behind the ids of one form of the event upcall.
struct EventIdState {
  std::mutex mutex;
  bool nameLoaded = false;
  char connectorName[128] = {};

  void reset() {
    std::lock_guard<std::mutex> lock(mutex);
    nameLoaded = false;
    connectorName[0] = '\0';
  }
};

EventIdState& eventIdState(bool byteArrayForm) {
  static EventIdState& textForm = *new EventIdState;
  static EventIdState& byteForm = *new EventIdState;
  return byteArrayForm ? byteForm : textForm;
}

// The number that ends an id. Both forms draw from this one counter: with a
// counter per form, a text event and a byte-array event of the same second
// would both end in _0. 64 bits never wrap within a process.
std::atomic<long long>& eventIdCounter() {
  static std::atomic<long long>& counter = *new std::atomic<long long>(0);
  return counter;
}

}  // namespace

int getConfigProp(const char* name, char* buffer, int size) {
  if (!usable(buffer, size)) return 0;
  buffer[0] = '\0';
  if (name == nullptr) return 0;
  return finishLookup(name, buffer, agentPort().getConfigProp(name, buffer, size));
}

int getConfigPropI18n(const char* name, char* buffer, int size) {
  if (!usable(buffer, size)) return 0;
  buffer[0] = '\0';
  if (name == nullptr) return 0;
  return finishLookup(name, buffer, agentPort().getConfigPropI18n(name, buffer, size));
}

void getDeltaSupport(const char* boName, char* buffer, int size) {
  if (!usable(buffer, size)) return;
  buffer[0] = '\0';
  if (boName == nullptr) return;
  // No answer from the agent leaves the buffer empty, which every caller
  // reads as "no delta support".
  if (agentPort().getDeltaSupport(boName, buffer, size) < 0) {
    buffer[0] = '\0';
    return;
  }
  libraryTrace(TRACE_LEVEL4,
               "%s was returned from AppEndConfig for deltaSupport for object name:%s", buffer,
               boName);
}

void traceWrite(const Tracing& tracing, int level, const char* text, const char* extra) {
  agentPort().traceWrite(tracing.getConnectorName(), level, getTraceDelimiter(), text, extra);
}

char* generateMsg(int id, int type, const char* extra, int flag, int count, const char* params) {
  return agentPort().generateMsg(id, type, extra, flag, count, params != nullptr ? params : "");
}

std::string makeObjectEventId(bool byteArrayForm) {
  EventIdState& state = eventIdState(byteArrayForm);
  std::string name;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.nameLoaded) {
      if (JToCPPVeneer* veneer = JToCPPVeneer::getVeneer()) {
        veneer->getConfigProp("ConnectorName", state.connectorName,
                              static_cast<int>(sizeof state.connectorName));
        state.nameLoaded = true;
      }
    }
    name = state.connectorName;
  }
  const long seconds = static_cast<long>(std::time(nullptr));
  const long long number = eventIdCounter().fetch_add(1, std::memory_order_relaxed);
  char tail[64];
  std::snprintf(tail, sizeof tail, "_%ld_%lld", seconds, number);
  return name + tail;
}

StringMessage* getCollabNames() {
  std::string names;
  if (!agentPort().getCollabNames(&names)) return nullptr;
  return new StringMessage(names.c_str());
}

StringMessage* getEncoding() { return encodingCache().get(); }

StringMessage* getLocale() { return localeCache().get(); }

bool isAgentCapableOfPolling() { return agentPort().isAgentCapableOfPolling(); }

void logComposed(const char* text, int type, bool typed) {
  if (isErrorClassType(type)) JToCPPVeneer::recordErrorMsg(text);
  if (typed) {
    agentPort().logMsg(text, type);
  } else if (text != nullptr) {
    agentPort().logMsg(text);
  }
}

void reportMessage(const Message& message, const char* params) {
  char* text = generateMsg(message.id, message.type, nullptr, 1, message.paramCount, params);
  if (text == nullptr) return;
  logComposed(text, message.type, false);
  delete[] text;
}

void composeMessage(const Message& message, const char* params) {
  delete[] generateMsg(message.id, message.type, nullptr, 1, message.paramCount, params);
}

void resetForTesting() {
  encodingCache().reset();
  localeCache().reset();
  eventIdState(false).reset();
  eventIdState(true).reset();
  eventIdCounter().store(0);
}

}  // namespace hbconnector::detail::upcall
