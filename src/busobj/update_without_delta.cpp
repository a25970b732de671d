// The update emulation for agents that do not accept deltas.
#include <memory>

#include "busobj/busobj_access.hpp"
#include "collections/messages.hpp"
#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/tracing.hpp"

namespace {

// The retrieve that precedes an emulated update failed.
using hbconnector::detail::kMsgRetrieveForUpdateFailed;

}  // namespace

int BOHandlerBase::doUpdateWithoutDelta(BusinessObject& bo, ReturnStatusDescriptor* status) {
  using hbconnector::detail::BusObjAccess;
  std::unique_ptr<BusinessObject> retrieved(bo.duplicate());
  if (retrieved == nullptr) return -1;
  retrieved->setDelta(false);
  // The verbs are the procedure's own: they are set even when the spec does
  // not list them, so the handler sees a retrieve and then a full update
  // rather than a repeated partial "Update".
  BusObjAccess::setVerbUnchecked(*retrieved, RETRIEVE);
  const int retrieveResult = retrieved->doVerbFor(status);
  if (retrieveResult < 0) {
    if (char* text = generateMsg(kMsgRetrieveForUpdateFailed, MSGTYPE_ERROR, 0, 1, bo.getName())) {
      logMsg(text, MSGTYPE_STATUS);
      delete[] text;
    }
    return retrieveResult;
  }
  retrieved->applyDelta(&bo);
  BusObjAccess::setVerbUnchecked(*retrieved, UPDATE);
  const int result = retrieved->doVerbFor(status);
  // The request object takes the updated values (copyFrom, except that the
  // children displaced were the request's own and are released).
  BusObjAccess::copySlots(bo, retrieved->getAttrValues(), BusObjAccess::Displaced::kRelease);
  bo.setDelta(retrieved->isDelta());
  return result;
}

bool BOHandlerBase::isDeltaSupported(BusinessObject& bo) {
  return bo.getName() != nullptr && isDeltaSupported(bo.getName());
}
