#include <atomic>
#include <cstdarg>
#include <cstring>

#include "collections/decimal.hpp"
#include "collections/text.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/perf_monitor.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/subscription.hpp"
#include "hbconnector/tracing.hpp"
#include "runtime/runtime_internal.hpp"
#include "runtime/upcalls.hpp"

namespace upcall = hbconnector::detail::upcall;
using hbconnector::detail::measured;
using hbconnector::detail::RuntimeMonitor;

namespace {

std::atomic<ConnectorBase*> currentConnector{nullptr};
std::atomic<JToCPPVeneer*> currentVeneer{nullptr};

constexpr int kConfigBufferSize = 512;
constexpr int kDeltaAnswerSize = 10;

}  // namespace

namespace hbconnector::detail {

bool agentUsesAsciiEncoding(const char** encodingName) {
  StringMessage* encoding = upcall::getEncoding();
  const char* name = encoding != nullptr ? encoding->getText() : "";
  if (encodingName != nullptr) *encodingName = name;
  return std::strcmp(name, "ascii7") == 0 || std::strcmp(name, "ascii8") == 0;
}

}  // namespace hbconnector::detail

JToCPPVeneer::JToCPPVeneer(SubscriptionHandlerCPP* handler, void* agentInterface)
    : agentInterface_(agentInterface) {
  if (handler != nullptr) handler->setVeneer(this);
  specRegistry_ = BusObjSpecRegistry::getInstance();
  tracing_ = new Tracing();
  msgGenerator_ = new MsgGenerator();
  setVeneer(this);

  // From here on the lookups reach the agent through this veneer.
  char value[kConfigBufferSize];
  const char* name = value;
  if (getConfigProp("ConnectorName", value, kConfigBufferSize) == 0) name = DEFAULT_CONNECTOR_NAME;
  tracing_->setConnectorName(hbconnector::detail::copyText(name));

  tracing_->setTraceLevel(hbconnector::detail::configuredTraceLevel());

  int perfLevel = 0;
  if (getConfigProp("PerfLevel", value, kConfigBufferSize) != 0) {
    perfLevel = hbconnector::detail::decimalToInt(value);
  }
  PerfMonitor::setPerfLevel(perfLevel);

  const char* connectorName = tracing_->getConnectorName();
  hbconnector::detail::startRuntimeMonitors(this, connectorName);
}

JToCPPVeneer::~JToCPPVeneer() {
  // First make this veneer unreachable, so no new call can start on it.
  JToCPPVeneer* self = this;
  currentVeneer.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
  if (SubscriptionHandlerCPP* handler = subscriptionHandler_) {
    if (handler->getVeneer() == this) handler->detachVeneer();
    subscriptionHandler_ = nullptr;
    delete handler;
  }
  // What this start-up measured goes with it; the monitors wait for the next.
  hbconnector::detail::releaseRuntimeMonitors(this);
  delete tracing_;
  tracing_ = nullptr;
  delete msgGenerator_;
  msgGenerator_ = nullptr;
}

int JToCPPVeneer::init(Version* version) {
  ConnectorBase* connector = getConnector();
  if (connector == nullptr) return -1;
  const int result = measured(RuntimeMonitor::kInit, [&] { return connector->init(version); });
  if (subscriptionHandler_ == nullptr) (new SubscriptionHandlerCPP())->setVeneer(this);
  // A connector may have detached the registry during init; give the veneer
  // a fresh one so spec announcements still have somewhere to go. It lives
  // for the rest of the process, like the library's own.
  if (specRegistry_ == nullptr) specRegistry_ = new BusObjSpecRegistry();
  return result;
}

int JToCPPVeneer::pollForEvents() {
  ConnectorBase* connector = getConnector();
  if (connector == nullptr) return -1;
  return measured(RuntimeMonitor::kPoll, [&] { return connector->pollForEvents(); });
}

int JToCPPVeneer::terminate() {
  ConnectorBase* connector = getConnector();
  return connector != nullptr ? connector->terminate() : -1;
}

const char* JToCPPVeneer::getVersion() {
  ConnectorBase* connector = getConnector();
  return connector != nullptr ? connector->getVersion() : nullptr;
}

void JToCPPVeneer::suspend() {
  if (ConnectorBase* connector = getConnector()) connector->suspend();
}

void JToCPPVeneer::resume() {
  if (ConnectorBase* connector = getConnector()) connector->resume();
}

int JToCPPVeneer::subscribeTo(const char* boName, const char* verb, int perf) {
  return subscriptionHandler_ != nullptr ? subscriptionHandler_->subscribeTo(boName, verb, perf)
                                         : -1;
}

int JToCPPVeneer::cancelSub(const char* boName, const char* version, const char* verb) {
  return subscriptionHandler_ != nullptr ? subscriptionHandler_->cancelSub(boName, version, verb)
                                         : -1;
}

int JToCPPVeneer::isSubscribed(const char* boName, const char* verb) {
  return subscriptionHandler_ != nullptr ? subscriptionHandler_->isSubscribed(boName, verb) : 0;
}

int JToCPPVeneer::gotApplEvent(BusinessObject& bo) {
  const char* encoding = "";
  if (hbconnector::detail::agentUsesAsciiEncoding(&encoding)) return upcall::gotEventFromApp(bo);
  return upcall::gotEventFromApp(bo, encoding);
}

int JToCPPVeneer::getConfigProp(const char* name, char* buffer, int size) {
  if (hbconnector::detail::agentUsesAsciiEncoding()) {
    return upcall::getConfigProp(name, buffer, size);
  }
  return upcall::getConfigPropI18n(name, buffer, size);
}

bool JToCPPVeneer::isDeltaSupported(const char* typeName) {
  char answer[kDeltaAnswerSize];
  upcall::getDeltaSupport(typeName, answer, kDeltaAnswerSize);
  return std::strcmp(answer, "true") == 0;
}

void JToCPPVeneer::logMsg(const char* text) { upcall::logComposed(text, 0, false); }

void JToCPPVeneer::logMsg(const char* text, int type) { upcall::logComposed(text, type, true); }

void JToCPPVeneer::traceWrite(int level, const char* text, const char* extra) {
  if (tracing_ != nullptr) tracing_->write(level, text, extra);
}

char* JToCPPVeneer::generateMsg(int id, int type, int flag, int count, ...) {
  va_list params;
  va_start(params, count);
  char* text = vgenerateMsg(id, type, flag, count, params);
  va_end(params);
  return text;
}

char* JToCPPVeneer::vgenerateMsg(int id, int type, int flag, int count, va_list params) {
  if (msgGenerator_ == nullptr) return nullptr;
  return msgGenerator_->vgenerateMsg(id, type, nullptr, flag, count, params);
}

void JToCPPVeneer::generateAndLogMsg(int id, int type, int count, ...) {
  va_list params;
  va_start(params, count);
  vgenerateAndLogMsg(id, type, count, params);
  va_end(params);
}

void JToCPPVeneer::vgenerateAndLogMsg(int id, int type, int count, va_list params) {
  char* text = vgenerateMsg(id, type, 0, count, params);
  if (text == nullptr) return;
  upcall::logComposed(text, type, type != 0);
  delete[] text;
}

void JToCPPVeneer::generateAndTraceMsg(int id, int type, int level, int count, ...) {
  va_list params;
  va_start(params, count);
  vgenerateAndTraceMsg(id, type, level, count, params);
  va_end(params);
}

void JToCPPVeneer::vgenerateAndTraceMsg(int id, int type, int level, int count, va_list params) {
  // A line the trace would drop is not even composed.
  if (tracing_ == nullptr || level < 0 || level > tracing_->getTraceLevel()) return;
  char* text = vgenerateMsg(id, type, 0, count, params);
  if (text == nullptr) return;
  tracing_->write(level, text);
  delete[] text;
}

void JToCPPVeneer::setTraceLevel(int level) {
  if (tracing_ != nullptr) tracing_->setTraceLevel(level);
}

StringMessage* JToCPPVeneer::getCollabNames() { return upcall::getCollabNames(); }

bool JToCPPVeneer::isAgentCapableOfPolling() { return upcall::isAgentCapableOfPolling(); }

void JToCPPVeneer::setSubscriptionHandler(SubscriptionHandlerCPP* handler) {
  SubscriptionHandlerCPP* old = subscriptionHandler_;
  if (old != nullptr && old != handler && old->getVeneer() == this) old->detachVeneer();
  subscriptionHandler_ = nullptr;
  if (handler != nullptr) handler->setVeneer(this);
}

JToCPPVeneer* JToCPPVeneer::getVeneer() { return currentVeneer.load(std::memory_order_acquire); }

void JToCPPVeneer::setVeneer(JToCPPVeneer* veneer) {
  currentVeneer.store(veneer, std::memory_order_release);
}

ConnectorBase* JToCPPVeneer::getConnector() {
  return currentConnector.load(std::memory_order_acquire);
}

void JToCPPVeneer::setConnector(ConnectorBase* connector) {
  currentConnector.store(connector, std::memory_order_release);
}
