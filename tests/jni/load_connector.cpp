// The connector library of the JNI load, soak and restart tests, built at load.
//   Item (Id, Label): Create/Retrieve/Update label it and answer 1 with "<verb>
//     <Id>"; Delete logs "cannot delete <Id>" and answers -3 with no status text.
//   Bulk (Id, Items: Item "n"): labels every item "seen", answers "items=<n>".
//   Node (Name, Next: Node): answers 1 with "depth=<levels>".
// pollForEvents, from threads of its own, per "LoadPollMode": "event" (default)
// publishes an Item event, "bulk" a Bulk event of 10,000 items, "loggers" runs
// 1,000 short threads that log once.
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/subscription.hpp"
#include "hbconnector/tracing.hpp"
#include "hbconnector/version_stamp.hpp"

HB_FRAMEWORK_VERSION("4.1.0");

namespace {

constexpr int kBulkItems = 10000;
constexpr int kLoggers = 1000;
constexpr int kLoggerBatch = 50;

std::string textOf(const BusinessObject& bo, const char* name) {
  const void* value = bo.getAttrValue(name);
  return value != nullptr ? static_cast<const char*>(value) : "";
}

int answer(ReturnStatusDescriptor* status, const std::string& message, int result) {
  status->setErrorString(message.c_str());
  return result;
}

class LoadHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) override {
    const std::string type = bo.getName();
    const std::string verb = bo.getVerb() != nullptr ? bo.getVerb() : "";
    if (type == "Bulk") {
      auto* items = static_cast<BusObjArray*>(bo.getAttrValue("Items"));
      const int count = items != nullptr ? items->getObjectCount() : 0;
      for (int k = 0; k < count; ++k) {
        items->getObject(k)->setAttrValue("Label", const_cast<char*>("seen"), STRING);
      }
      return answer(status, "items=" + std::to_string(count), 1);
    }
    if (type == "Node") {
      int depth = 0;
      for (const BusinessObject* node = &bo; node != nullptr;
           node = static_cast<const BusinessObject*>(node->getAttrValue("Next"))) {
        ++depth;
      }
      return answer(status, "depth=" + std::to_string(depth), 1);
    }
    const std::string id = textOf(bo, "Id");
    if (verb == "Delete") {
      ConnectorBase::logMsg(("cannot delete " + id).c_str(), MSGTYPE_ERROR);
      return -3;
    }
    bo.setAttrValue("Label", const_cast<char*>(verb.c_str()), STRING);
    return answer(status, verb + " " + id, 1);
  }
};

class LoadConnector : public ConnectorBase {
 public:
  BOHandlerBase* getBOHandlerForBO(const char*) override { return &handler_; }
  int init(Version*) override { return 1; }
  const char* getVersion() override { return "LoadConnector 1.0"; }
  int terminate() override { return 0; }

  int pollForEvents() override {
    char mode[32] = {};
    ConnectorBase::getConfigProp("LoadPollMode", mode, sizeof mode);
    if (std::strcmp(mode, "loggers") == 0) {
      for (int started = 0; started < kLoggers; started += kLoggerBatch) {
        std::vector<std::thread> batch;
        for (int i = 0; i < kLoggerBatch; ++i) {
          batch.emplace_back([] { ConnectorBase::logMsg("short thread"); });
        }
        for (std::thread& thread : batch) thread.join();
      }
      return 0;
    }
    const bool bulk = std::strcmp(mode, "bulk") == 0;
    int result = -100;
    std::thread publisher([&result, bulk] {
      BusinessObject event(bulk ? "Bulk" : "Item");
      event.setAttrValue("Id", const_cast<char*>(bulk ? "B1" : "E"), STRING);
      event.setVerb("Create");
      for (int k = 0; bulk && k < kBulkItems; ++k) {
        auto* item = new BusinessObject("Item");
        item->setAttrValue("Id", const_cast<char*>(("I" + std::to_string(k)).c_str()), STRING);
        event.setAttrValue("Items", item, OBJECT);
      }
      SubscriptionHandlerCPP* handler = ConnectorBase::getSubscriptionHandler();
      result = handler != nullptr ? handler->gotApplEvent(event) : -100;
    });
    publisher.join();
    return result;
  }

 private:
  LoadHandler handler_;
};

LoadConnector theConnector;

}  // namespace
