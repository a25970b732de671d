#include <algorithm>
#include <cstdarg>
#include <optional>
#include <string>
#include <string_view>

#include "hbconnector/connector.hpp"
#include "hbconnector/string_message.hpp"
#include "runtime/upcalls.hpp"

namespace upcall = hbconnector::detail::upcall;

ConnectorBase::ConnectorBase() { JToCPPVeneer::setConnector(this); }

ConnectorBase::~ConnectorBase() = default;

void ConnectorBase::suspend() {}

void ConnectorBase::resume() {}

int ConnectorBase::getConfigProp(const char* name, char* buffer, int size) {
  if (JToCPPVeneer* veneer = JToCPPVeneer::getVeneer()) {
    return veneer->getConfigProp(name, buffer, size);
  }
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  return 0;
}

std::optional<std::string> ConnectorBase::configProp(std::string_view name) {
  const std::string key(name);
  // Most values fit the first buffer; a longer one is asked for again with
  // room enough, up to kMaxConfigPropBytes.
  std::string value(std::size_t{4096}, '\0');
  for (;;) {
    const int size = static_cast<int>(value.size());
    const int stored = getConfigProp(key.c_str(), value.data(), size);
    if (stored <= 0) return std::nullopt;
    if (stored < size - 1 || value.size() >= kMaxConfigPropBytes) {
      value.resize(static_cast<std::size_t>(stored));
      return value;
    }
    value.assign(std::min(value.size() * 8, kMaxConfigPropBytes), '\0');
  }
}

bool ConnectorBase::isDeltaSupported(const char* typeName) {
  JToCPPVeneer* veneer = JToCPPVeneer::getVeneer();
  return veneer != nullptr && veneer->isDeltaSupported(typeName);
}

void ConnectorBase::logMsg(const char* text) {
  if (JToCPPVeneer* veneer = JToCPPVeneer::getVeneer()) veneer->logMsg(text);
}

void ConnectorBase::logMsg(const char* text, int type) {
  if (JToCPPVeneer* veneer = JToCPPVeneer::getVeneer()) veneer->logMsg(text, type);
}

void ConnectorBase::traceWrite(int level, const char* text, const char* extra) {
  if (JToCPPVeneer* veneer = JToCPPVeneer::getVeneer()) veneer->traceWrite(level, text, extra);
}

char* ConnectorBase::generateMsg(int id, int type, int flag, int count, ...) {
  JToCPPVeneer* veneer = JToCPPVeneer::getVeneer();
  if (veneer == nullptr) return nullptr;
  va_list params;
  va_start(params, count);
  char* text = veneer->vgenerateMsg(id, type, flag, count, params);
  va_end(params);
  return text;
}

void ConnectorBase::generateAndLogMsg(int id, int type, int count, ...) {
  JToCPPVeneer* veneer = JToCPPVeneer::getVeneer();
  if (veneer == nullptr) return;
  va_list params;
  va_start(params, count);
  veneer->vgenerateAndLogMsg(id, type, count, params);
  va_end(params);
}

void ConnectorBase::generateAndTraceMsg(int id, int type, int level, int count, ...) {
  JToCPPVeneer* veneer = JToCPPVeneer::getVeneer();
  if (veneer == nullptr) return;
  va_list params;
  va_start(params, count);
  veneer->vgenerateAndTraceMsg(id, type, level, count, params);
  va_end(params);
}

SubscriptionHandlerCPP* ConnectorBase::getSubscriptionHandler() {
  JToCPPVeneer* veneer = JToCPPVeneer::getVeneer();
  return veneer != nullptr ? veneer->getSubscriptionHandler() : nullptr;
}

StringMessage* ConnectorBase::getCollabNames() {
  JToCPPVeneer* veneer = JToCPPVeneer::getVeneer();
  return veneer != nullptr ? veneer->getCollabNames() : nullptr;
}

bool ConnectorBase::isAgentCapableOfPolling() {
  JToCPPVeneer* veneer = JToCPPVeneer::getVeneer();
  return veneer != nullptr && veneer->isAgentCapableOfPolling();
}

const char* ConnectorBase::getEncoding() {
  StringMessage* encoding = upcall::getEncoding();
  return encoding != nullptr ? encoding->getText() : nullptr;
}

const char* ConnectorBase::getLocale() {
  StringMessage* locale = upcall::getLocale();
  return locale != nullptr ? locale->getText() : nullptr;
}
