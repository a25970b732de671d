// The service benchmark's connector: every verb returns 1 with its object
// unchanged, so a request through "hbagent serve" costs the agent's and the
// library's share alone.
#include <hbconnector/hbconnector.hpp>
#include <hbconnector/version_stamp.hpp>

HB_FRAMEWORK_VERSION("4.1.0");

namespace {

class UnchangedHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject&, ReturnStatusDescriptor*) override { return 1; }
};

class UnchangedConnector : public ConnectorBase {
 public:
  BOHandlerBase* getBOHandlerForBO(const char*) override { return &handler_; }
  int init(Version*) override { return 1; }
  int pollForEvents() override { return 0; }
  int terminate() override { return 0; }
  const char* getVersion() override { return "unchanged benchmark connector 1.0.0"; }

 private:
  UnchangedHandler handler_;
};

UnchangedConnector theConnector;

}  // namespace
