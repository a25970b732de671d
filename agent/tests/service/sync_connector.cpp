// A connector for the service tests of synchronous requests: every verb is
// handed on to the collaboration "Lookup" with consumeSync, and whatever the
// answer brings (status, message, object) is the verb's result.
#include <hbconnector/hbconnector.hpp>

namespace {

class LookupHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) override {
    ReturnStatusDescriptor answer(0, "asked");
    ConnectorBase::consumeSync("Lookup", bo, &answer);
    status->setErrorString(answer.getErrorString());
    return answer.getStatus();
  }
};

class SyncConnector : public ConnectorBase {
 public:
  BOHandlerBase* getBOHandlerForBO(const char*) override { return &handler_; }
  int init(Version*) override { return 1; }
  int pollForEvents() override { return 0; }
  int terminate() override { return 0; }
  const char* getVersion() override { return "sync test connector 1.0.0"; }

 private:
  LookupHandler handler_;
};

SyncConnector theConnector;

}  // namespace
