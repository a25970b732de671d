// The upcalls that carry business objects: application events in both forms
// and the synchronous request to a collaboration.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "busobj/busobj_access.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/encoding.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/subscription.hpp"
#include "runtime/agent_port.hpp"
#include "runtime/upcalls.hpp"

namespace hbconnector::detail::upcall {

namespace {

constexpr int kNotSubscribed = -10;
constexpr std::size_t kSubscriptionParamSize = 512;
constexpr int kEncodingSize = 25;
constexpr char kEventIdAttr[] = "ObjectEventId";

// Gives the object an ObjectEventId when it has none. Only a simple
// attribute of that name can hold one; a type without it is left alone.
void fillObjectEventId(BusinessObject& bo, bool byteArrayForm) {
  const BusObjSpec* spec = bo.getSpec();
  const int index = spec->getAttributeIndex(kEventIdAttr);
  if (index < 0 || spec->getAttribute(index)->isObjectType()) return;
  const void* value = bo.getAttrValue(index);
  if (!BusinessObject::isIgnoreValue(value) && !BusinessObject::isBlankValue(value)) return;
  std::string id = makeObjectEventId(byteArrayForm);
  bo.setAttrValue(index, id.data(), bo.getAttrType(index));
}

}  // namespace

int gotEventFromApp(BusinessObject& bo) {
  if (bo.getSpec() == nullptr) return -1;
  const char* name = bo.getName();
  const char* verb = bo.getVerb();
  JToCPPVeneer* veneer = JToCPPVeneer::getVeneer();
  SubscriptionHandlerCPP* handler = veneer != nullptr ? veneer->getSubscriptionHandler() : nullptr;
  if (handler == nullptr || handler->isSubscribed(name, verb) != 1) {
    char params[kSubscriptionParamSize];
    std::snprintf(params, sizeof params, "%s,%s", name != nullptr ? name : "",
                  verb != nullptr ? verb : "null");
    reportMessage(kMsgNotSubscribed, params);
    return kNotSubscribed;
  }
  fillObjectEventId(bo, false);
  std::unique_ptr<StringMessage> record(bo.toStringMessage());
  char encoding[kEncodingSize] = "";
  ConnectorBase::getConfigProp("CharacterEncoding", encoding, kEncodingSize);
  if (std::strcmp(encoding, "ascii8") == 0) {
    std::unique_ptr<char[]> converted(ascii8ToUtf8(record->getText()));
    if (converted == nullptr) {
      reportMessage(kMsgConversionFailed, "");
      return -1;
    }
    return agentPort().gotEventFromApp(converted.get());
  }
  return agentPort().gotEventFromApp(record->getText());
}

int gotEventFromApp(BusinessObject& bo, const char* encoding) {
  if (bo.getSpec() == nullptr) return -1;
  fillObjectEventId(bo, true);
  std::unique_ptr<StringMessageI18N> record(bo.toStringMessageI18N());
  // The agent receives the text followed by one zero byte.
  const std::size_t length = static_cast<std::size_t>(record->getLength()) + 1;
  return agentPort().gotEventFromApp(record->getText(), length,
                                     encoding != nullptr ? encoding : "");
}

void consumeSync(const char* name, BusinessObject& bo, ReturnStatusDescriptor* status) {
  if (name == nullptr) return;
  std::unique_ptr<StringMessage> boRecord(bo.toStringMessage());
  const ReturnStatusDescriptor none;
  std::unique_ptr<StringMessage> statusRecord(
      (status != nullptr ? *status : none).toStringMessage());
  std::string boText = boRecord->getText();
  std::string statusText = statusRecord->getText();
  if (!agentPort().consumeSync(name, &boText, &statusText)) {
    // No answer from the agent is a failure of the request, not a success.
    if (status != nullptr) status->setStatus(-1);
    return;
  }
  StringMessage boIn(boText.c_str());
  std::unique_ptr<BusinessObject> answer(new BusinessObject(boIn));
  // Only an answer of the same layout can replace the object's contents.
  if (bo.getSpec() != nullptr && answer->getSpec() != nullptr &&
      BusObjAccess::sameLayout(bo.getSpec(), answer->getSpec())) {
    BusObjAccess::takeContents(bo, *answer);
  }
  if (status != nullptr) {
    StringMessage statusIn(statusText.c_str(), STATUS_DELIMITER);
    const ReturnStatusDescriptor answered(statusIn);
    status->setErrorString(answered.getErrorString());
    status->setStatus(answered.getStatus());
  }
}

}  // namespace hbconnector::detail::upcall
