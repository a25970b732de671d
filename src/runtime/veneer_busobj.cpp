// The veneer operations that carry business objects and specs: running a verb
// for connector code, registering a spec the agent announces, and the
// synchronous request to a collaboration.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "bridge/upcalls.hpp"
#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/tracing.hpp"
#include "runtime/runtime_internal.hpp"

namespace {

// The doVerbFor trace line is formatted into this many bytes.
constexpr std::size_t kVerbTraceSize = 512;

}  // namespace

int JToCPPVeneer::doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) {
  BusObjSpec* spec = bo.getSpec();
  if (tracing_ != nullptr && tracing_->getTraceLevel() > TRACE_LEVEL0) {
    char line[kVerbTraceSize];
    const char* name = spec != nullptr && spec->getName() != nullptr ? spec->getName() : "";
    std::snprintf(line, sizeof line, "JToCPPVeneer::doVerbFor call for Object named: %s", name);
    traceWrite(TRACE_LEVEL4, line);
  }
  if (spec == nullptr || spec->getBOHandler() == nullptr) return -1;
  BOHandlerBase* handler = spec->getBOHandler();
  return hbconnector::detail::measured(hbconnector::detail::RuntimeMonitor::kDoVerbFor,
                                       [&] { return handler->doVerbFor(bo, status); });
}

void JToCPPVeneer::gotBusObjSpec(const char* specText) {
  gotBusObjSpec(specText, specText != nullptr ? static_cast<int>(std::strlen(specText)) : 0);
}

void JToCPPVeneer::gotBusObjSpec(const char* specText, int length) {
  // A spec that cannot be used is not registered: a malformed one would make
  // every object of its type unreadable, and without a connector there is no
  // handler to run its verbs.
  auto refuse = [this](const char* why, const char* name) {
    std::string text = "JToCPPVeneer::gotBusObjSpec: ";
    text += why;
    text += "; the BusObjSpec named ";
    text += name != nullptr ? name : "(none)";
    text += " is not registered.";
    logMsg(text.c_str());
  };
  StringMessageI18N message(
      specText != nullptr ? specText : "",
      specText != nullptr && length > 0 ? static_cast<std::size_t>(length) : 0);
  std::unique_ptr<BusObjSpec> spec(new BusObjSpec(message));
  if (spec->getAttributeCount() < 0 || spec->getName() == nullptr) {
    refuse("the spec text is malformed", spec->getName());
    return;
  }
  ConnectorBase* connector = getConnector();
  if (connector == nullptr) {
    refuse("there is no connector", spec->getName());
    return;
  }
  if (BOHandlerBase* handler = connector->getBOHandlerForBO(spec->getName())) {
    handler->setSubscriptionHandler(subscriptionHandler_);
    spec->setBOHandler(handler);
  }
  BusObjSpecRegistry* registry =
      specRegistry_ != nullptr ? specRegistry_ : BusObjSpecRegistry::getInstance();
  registry->addSpec(spec.release());
}

void JToCPPVeneer::consumeSync(const char* name, BusinessObject& bo,
                               ReturnStatusDescriptor* status) {
  hbconnector::detail::upcall::consumeSync(name, bo, status);
}

void ConnectorBase::consumeSync(const char* name, BusinessObject& bo,
                                ReturnStatusDescriptor* status) {
  JToCPPVeneer* veneer = JToCPPVeneer::getVeneer();
  if (name == nullptr || veneer == nullptr) return;
  veneer->consumeSync(name, bo, status);
}

void ConnectorBase::consumeSync(const char* name, BusinessObject* bo,
                                ReturnStatusDescriptor* status) {
  if (bo == nullptr) return;
  consumeSync(name, *bo, status);
}
