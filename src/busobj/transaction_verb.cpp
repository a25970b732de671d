// The transaction procedure of the handler base class: a transactional verb
// runs only when the application still holds the prior image.
#include <cstring>
#include <memory>

#include "busobj/busobj_access.hpp"
#include "collections/messages.hpp"
#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/transaction_busobj.hpp"

namespace {

using hbconnector::detail::kMsgPriorImageDiffers;
using hbconnector::detail::kMsgPriorImageDiffersStatus;
using hbconnector::detail::kMsgRetrieveFailed;
using hbconnector::detail::kMsgRetrieveFailedStatus;
using hbconnector::detail::kMsgRetrieveWarning;
constexpr int kVerbWarning = -5;
// "ConnectorName" is read into this many bytes: at most 24 characters of the
// name appear in the status texts.
constexpr int kConnectorNameSize = 25;

}  // namespace

int BOHandlerBase::doTransactionVerb(TransactionBusinessObject& bo,
                                     ReturnStatusDescriptor* status) {
  using hbconnector::detail::BusObjAccess;
  if (bo.getSpec() == nullptr) return -1;
  const char* typeName = bo.getName();

  // Sets a generated status text naming the connector; the text is released here.
  auto setStatusText = [&](int id) {
    char connectorName[kConnectorNameSize] = "";
    getConfigProp("ConnectorName", connectorName, kConnectorNameSize);
    char* text = generateMsg(id, 6, 0, 2, connectorName, typeName);
    if (text != nullptr && status != nullptr) status->setErrorString(text);
    delete[] text;
  };
  auto logGenerated = [&](char* text) {
    if (text != nullptr) logMsg(text, 0);
    delete[] text;
  };

  // The retrieve runs on an ordinary copy, so the transaction object keeps
  // both its value sets. Its verb is set without the spec check: a type that
  // does not list "Retrieve" must not see the transaction's own verb here.
  std::unique_ptr<BusinessObject> retrieved(bo.duplicate());
  BusObjAccess::setVerbUnchecked(*retrieved, RETRIEVE);
  const int found = retrieved->doVerbFor(status);
  if (found < 0 && found != kVerbWarning) {
    logGenerated(generateMsg(kMsgRetrieveFailed, 6, 0, 1, typeName));
    setStatusText(kMsgRetrieveFailedStatus);
    return found;
  }
  if (found == kVerbWarning) logGenerated(generateMsg(kMsgRetrieveWarning, 5, 0, 0));

  if (bo.compare(retrieved.get()) == -1) {
    logGenerated(generateMsg(kMsgPriorImageDiffers, 6, 0, 1, typeName));
    setStatusText(kMsgPriorImageDiffersStatus);
    return -1;
  }

  std::unique_ptr<BusinessObject> performed(bo.duplicate());
  const char* verb = bo.getVerb();
  if (verb != nullptr && std::strcmp(verb, "null") != 0) {
    BusObjAccess::setVerbUnchecked(*performed, verb);
  }
  const int result = performed->doVerbFor(status);
  // The request object takes the performed values; the children they
  // displace were the request's own and go with it.
  if (result == 1 || result == kVerbWarning) {
    BusObjAccess::copySlots(bo, performed->getAttrValues(), BusObjAccess::Displaced::kRelease);
  }
  return result;
}
