// The business object handler base class.
//
// A connector supplies one handler per business object type: an object of a
// class derived from BOHandlerBase, returned by the connector's
// getBOHandlerForBO when the agent announces the type. Every verb request for
// an object of that type ends in the handler's doVerbFor:
//
//   class CustomerHandler : public BOHandlerBase {
//    public:
//     int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) override {
//       if (std::strcmp(bo.getVerb(), "Retrieve") == 0) { ...; return 1; }
//       status->setErrorString("verb not supported");
//       return -1;
//     }
//   };
//
// The result travels back to the agent unchanged; 1 and -5 also send the
// (possibly changed) business object back. The connector owns its handlers.
//
// The helper members reach the agent through the subscription handler set
// when the handler is attached to a spec; before that they do nothing.
#ifndef HBCONNECTOR_BO_HANDLER_HPP_
#define HBCONNECTOR_BO_HANDLER_HPP_

#include "hbconnector/export.hpp"

class BusinessObject;
class ReturnStatusDescriptor;
class SubscriptionHandlerCPP;
class TransactionBusinessObject;

class HB_EXPORT BOHandlerBase {
 public:
  BOHandlerBase();
  BOHandlerBase(const BOHandlerBase&) = delete;
  BOHandlerBase& operator=(const BOHandlerBase&) = delete;
  virtual ~BOHandlerBase();

  // Performs bo's verb. status receives the message for the agent.
  virtual int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) = 0;

  void setSubscriptionHandler(SubscriptionHandlerCPP* handler) { subscriptionHandler_ = handler; }
  SubscriptionHandlerCPP* getSubscriptionHandler() const { return subscriptionHandler_; }
  // A value for the connector's own use; the library never reads it.
  void* getUserData() const { return userData_; }
  void setUserData(void* data) { userData_ = data; }

  int getConfigProp(const char* name, char* buffer, int size);
  bool isDeltaSupported(const char* typeName);
  bool isDeltaSupported(BusinessObject& bo);
  void logMsg(const char* text, int type);
  void traceWrite(int level, const char* text, const char* extra = nullptr);
  // The caller deletes the returned text with delete[]; null when not attached.
  char* generateMsg(int id, int type, int flag, int count, ...);
  void generateAndLogMsg(int id, int type, int count, ...);
  void generateAndTraceMsg(int id, int type, int level, int count, ...);

  // Update emulation for an agent that does not accept deltas: retrieves a
  // duplicate of bo, applies bo's delta to it, runs "Update" with the full
  // image and copies the result back into bo. A failing retrieve leaves
  // message 17115 as the pending error text.
  int doUpdateWithoutDelta(BusinessObject& bo, ReturnStatusDescriptor* status);
  // The transaction procedure: retrieves the object, compares it with the
  // prior image and performs the verb only when they match (17116/17117 when
  // they differ, 17118/17119 when the retrieve fails, 17057 on -5).
  int doTransactionVerb(TransactionBusinessObject& bo, ReturnStatusDescriptor* status);

 private:
  void* userData_ = nullptr;
  SubscriptionHandlerCPP* subscriptionHandler_ = nullptr;
};

#endif  // HBCONNECTOR_BO_HANDLER_HPP_
