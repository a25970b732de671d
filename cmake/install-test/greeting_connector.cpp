// A minimal connector: Retrieve answers a greeting for the Name it is
// given, and every poll publishes one Greeting event.
#include <cstring>
#include <string>

#include "hbconnector/hbconnector.hpp"

namespace {

class GreetingHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) override {
    if (bo.getVerb() == nullptr || std::strcmp(bo.getVerb(), RETRIEVE) != 0) {
      status->setErrorString("only Retrieve");
      return -1;
    }
    const void* name = bo.getAttrValue("Name");
    if (BusinessObject::isIgnoreValue(name) || BusinessObject::isBlankValue(name)) {
      status->setErrorString("no Name");
      return -1;
    }
    std::string greeting = std::string("Hello, ") + static_cast<const char*>(name);
    bo.setAttrValue("Greeting", greeting.data(), STRING);
    status->setErrorString("greeted");
    return 1;
  }
};

class GreetingConnector : public ConnectorBase {
 public:
  BOHandlerBase* getBOHandlerForBO(const char*) override { return &handler_; }
  int init(Version*) override { return 1; }
  int pollForEvents() override {
    BusinessObject bo("Greeting");
    bo.setVerb(CREATE);
    const std::string name = "tick " + std::to_string(++polls_);
    bo.setAttrValue("Name", const_cast<char*>(name.c_str()), STRING);
    return getSubscriptionHandler()->gotApplEvent(bo) >= 0 ? 0 : -1;
  }
  int terminate() override { return 0; }
  const char* getVersion() override { return "greeting 1.0"; }

 private:
  GreetingHandler handler_;
  int polls_ = 0;
};

GreetingConnector theConnector;

}  // namespace
