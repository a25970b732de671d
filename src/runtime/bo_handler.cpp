#include "hbconnector/bo_handler.hpp"

#include <cstdarg>

#include "hbconnector/connector.hpp"
#include "hbconnector/subscription.hpp"

namespace {

// The veneer a handler reaches through its subscription handler; null until
// the handler has been attached to a spec of a running connector.
JToCPPVeneer* veneerOf(const BOHandlerBase& handler) {
  SubscriptionHandlerCPP* subscriptions = handler.getSubscriptionHandler();
  return subscriptions != nullptr ? subscriptions->getVeneer() : nullptr;
}

}  // namespace

BOHandlerBase::BOHandlerBase() = default;

BOHandlerBase::~BOHandlerBase() = default;

int BOHandlerBase::getConfigProp(const char* name, char* buffer, int size) {
  if (JToCPPVeneer* veneer = veneerOf(*this)) return veneer->getConfigProp(name, buffer, size);
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  return 0;
}

bool BOHandlerBase::isDeltaSupported(const char* typeName) {
  JToCPPVeneer* veneer = veneerOf(*this);
  return veneer != nullptr && veneer->isDeltaSupported(typeName);
}

void BOHandlerBase::logMsg(const char* text, int type) {
  if (JToCPPVeneer* veneer = veneerOf(*this)) veneer->logMsg(text, type);
}

void BOHandlerBase::traceWrite(int level, const char* text, const char* extra) {
  if (JToCPPVeneer* veneer = veneerOf(*this)) veneer->traceWrite(level, text, extra);
}

char* BOHandlerBase::generateMsg(int id, int type, int flag, int count, ...) {
  JToCPPVeneer* veneer = veneerOf(*this);
  if (veneer == nullptr) return nullptr;
  va_list params;
  va_start(params, count);
  char* text = veneer->vgenerateMsg(id, type, flag, count, params);
  va_end(params);
  return text;
}

void BOHandlerBase::generateAndLogMsg(int id, int type, int count, ...) {
  JToCPPVeneer* veneer = veneerOf(*this);
  if (veneer == nullptr) return;
  va_list params;
  va_start(params, count);
  veneer->vgenerateAndLogMsg(id, type, count, params);
  va_end(params);
}

void BOHandlerBase::generateAndTraceMsg(int id, int type, int level, int count, ...) {
  JToCPPVeneer* veneer = veneerOf(*this);
  if (veneer == nullptr) return;
  va_list params;
  va_start(params, count);
  veneer->vgenerateAndTraceMsg(id, type, level, count, params);
  va_end(params);
}
