// The veneer operations that carry business objects and specs: running a verb
// for connector code, registering a spec the agent announces, and the
// synchronous request to a collaboration.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/tracing.hpp"
#include "hbconnector/version.hpp"
#include "runtime/runtime_internal.hpp"
#include "runtime/upcalls.hpp"

namespace {

// The doVerbFor trace line is formatted into this many bytes.
constexpr std::size_t kVerbTraceSize = 512;

bool sameText(const char* a, const char* b) {
  return std::strcmp(a != nullptr ? a : "", b != nullptr ? b : "") == 0;
}

bool sameVersion(const Version* a, const Version* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a->compare(*b) == 0;
}

// The (name, information) pairs of a spec's verbs, sorted: the verb set's own
// order depends on where each record was allocated.
std::vector<std::pair<std::string, std::string>> verbsOf(BusObjSpec& spec) {
  std::vector<std::pair<std::string, std::string>> verbs;
  spec.getVerbs()->forEach([&verbs](const HashedItem* item) {
    const auto* identity = dynamic_cast<const IdentityItem*>(item);
    const auto* verb =
        identity != nullptr ? static_cast<const VerbSpec*>(identity->get()) : nullptr;
    if (verb == nullptr) return;
    verbs.emplace_back(verb->getName() != nullptr ? verb->getName() : "",
                       verb->getAppSpecificInfo() != nullptr ? verb->getAppSpecificInfo() : "");
  });
  std::sort(verbs.begin(), verbs.end());
  return verbs;
}

// Whether the two specs carry the same specification record: every field
// the record holds, with the verbs in any order. Null and empty texts are
// the same (the record writes both as the empty marker).
bool sameRecord(BusObjSpec& a, BusObjSpec& b) {
  if (!sameText(a.getName(), b.getName()) || !sameVersion(a.getVersion(), b.getVersion()) ||
      !sameText(a.getAppSpecificInfo(), b.getAppSpecificInfo()) ||
      a.getAttributeCount() != b.getAttributeCount()) {
    return false;
  }
  for (int i = 0; i < a.getAttributeCount(); ++i) {
    const AttrSpec* x = a.getAttribute(i);
    const AttrSpec* y = b.getAttribute(i);
    if (x == nullptr || y == nullptr) return x == y;
    if (!sameText(x->getName(), y->getName()) || !sameText(x->getTypeName(), y->getTypeName()) ||
        x->isKey() != y->isKey() || x->isForeignKey() != y->isForeignKey() ||
        x->isRequired() != y->isRequired() ||
        !sameText(x->getAppSpecificInfo(), y->getAppSpecificInfo()) ||
        x->getMaxLength() != y->getMaxLength() ||
        !sameText(x->getDefaultValue(), y->getDefaultValue()) ||
        !sameVersion(x->getVersionPtr(), y->getVersionPtr()) ||
        !sameText(x->getCardinality(), y->getCardinality()) ||
        !sameText(x->getRelationship(), y->getRelationship()) ||
        x->getAttrFlag() != y->getAttrFlag()) {
      return false;
    }
  }
  return verbsOf(a) == verbsOf(b);
}

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
  // A replaced spec is never destroyed (objects of its type may still point
  // at it), so an agent that announces the same types at every start-up
  // would leave one dead spec per type and start-up behind. A spec whose
  // record equals the registered one's is the same spec: keep the registered
  // one and give it this announcement's handler.
  BusObjSpec* registered = registry->findSpec(spec->getName());
  if (registered != nullptr && sameRecord(*registered, *spec)) {
    if (registered->getBOHandler() != spec->getBOHandler()) {
      registered->setBOHandler(spec->getBOHandler());
    }
    return;
  }
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
