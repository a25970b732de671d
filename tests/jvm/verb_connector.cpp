#include "verb_connector.hpp"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/subscription.hpp"
#include "hbconnector/version_stamp.hpp"

HB_FRAMEWORK_VERSION("4.1.0");

namespace verbconnector {
namespace {

constexpr char kRevision[] = "Revision";

std::mutex stateMutex;
Behaviour theBehaviour;
std::vector<Call> theCalls;
std::map<std::string, std::map<std::string, Row>> theTables;

// thrown by the "other" behaviour: neither an int nor a text.
struct OddFailure {
  int code = 3;
};

std::string textOf(const void* value) {
  return value != nullptr ? static_cast<const char*>(value) : "";
}

// The key of bo: its key values joined by "+".
std::string keyOf(const BusinessObject& bo) {
  std::string key;
  for (int i = 0; i < bo.getAttrCount(); ++i) {
    const AttrSpec* attr = bo.getAttrSpec(i);
    if (attr->isObjectType() || !attr->isKey()) continue;
    if (!key.empty()) key += '+';
    key += textOf(bo.getAttrValue(i));
  }
  return key;
}

// Simple non-key attributes that bo sets (blank included), by name.
Row valuesOf(const BusinessObject& bo) {
  Row row;
  for (int i = 0; i < bo.getAttrCount(); ++i) {
    const AttrSpec* attr = bo.getAttrSpec(i);
    if (attr->isObjectType() || attr->isKey()) continue;
    if (const void* value = bo.getAttrValue(i)) row[attr->getName()] = textOf(value);
  }
  return row;
}

Call describe(const BusinessObject& bo) {
  Call call;
  call.type = bo.getName();
  call.verb = bo.getVerb() != nullptr ? bo.getVerb() : "<null>";
  call.delta = bo.isDelta();
  for (int i = 0; i < bo.getAttrCount(); ++i) {
    const AttrSpec* attr = bo.getAttrSpec(i);
    if (attr->isObjectType()) continue;
    const void* value = bo.getAttrValue(i);
    call.values += std::string(attr->getName()) + "=" + (value ? textOf(value) : "<ignore>") + ";";
  }
  return call;
}

class TableHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) override {
    Behaviour behaviour;
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      theCalls.push_back(describe(bo));
      behaviour = theBehaviour;
    }
    switch (behaviour.toThrow) {
      case Throw::kNothing:
        break;
      case Throw::kInt:
        status->setErrorString("not to be seen");
        throw behaviour.thrownInt;
      case Throw::kCharPointer: {
        static char text[] = "table is locked";
        throw static_cast<char*>(text);
      }
      case Throw::kConstCharPointer:
        throw "table is gone";
      case Throw::kOther:
        throw OddFailure{};
    }
    const int result = perform(bo, status);
    return behaviour.result.value_or(result);
  }

 private:
  // Types with a "Revision" attribute get it counted up by every Create and
  // full Update, in the row and in the object that goes back to the agent.
  static void stampRevision(BusinessObject& bo, Row& row, int revision) {
    const int index = bo.getSpec()->getAttributeIndex(kRevision);
    if (index < 0) return;
    row[kRevision] = std::to_string(revision);
    bo.setAttrValue(index, const_cast<char*>(row[kRevision].c_str()), bo.getAttrType(index));
  }

  static int answer(ReturnStatusDescriptor* status, const std::string& message, int result) {
    status->setErrorString(message.c_str());
    return result;
  }

  static int perform(BusinessObject& bo, ReturnStatusDescriptor* status) {
    const std::string verb = bo.getVerb() != nullptr ? bo.getVerb() : "";
    const std::string key = keyOf(bo);
    std::lock_guard<std::mutex> lock(stateMutex);
    std::map<std::string, Row>& rows = theTables[bo.getName()];
    auto found = rows.find(key);
    if (verb == "Create") {
      if (found != rows.end()) return answer(status, "exists " + key, -2);
      Row& row = rows[key];
      row = valuesOf(bo);
      stampRevision(bo, row, 1);
      return answer(status, "created " + key, 1);
    }
    if (found == rows.end()) return answer(status, "missing " + key, -2);
    if (verb == "Retrieve") {
      for (int i = 0; i < bo.getAttrCount(); ++i) {
        const AttrSpec* attr = bo.getAttrSpec(i);
        if (attr->isObjectType() || attr->isKey()) continue;
        auto value = found->second.find(attr->getName());
        if (value == found->second.end()) {
          bo.setAttrValue(i, IGNORE_VALUE, attr->getType());
        } else if (value->second.empty()) {
          bo.setAttrValue(i, BLANK_VALUE, attr->getType());
        } else {
          bo.setAttrValue(i, const_cast<char*>(value->second.c_str()), attr->getType());
        }
      }
      return answer(status, "retrieved " + key, 1);
    }
    if (verb == "Update") {
      if (bo.isDelta()) {
        for (auto& [name, value] : valuesOf(bo)) found->second[name] = value;
        return answer(status, "patched " + key, 1);
      }
      const auto old = found->second.find(kRevision);
      const int next = old != found->second.end() ? std::stoi(old->second) + 1 : 1;
      found->second = valuesOf(bo);
      stampRevision(bo, found->second, next);
      return answer(status, "updated " + key, 1);
    }
    if (verb == "Delete") {
      rows.erase(found);
      return answer(status, "deleted " + key, 1);
    }
    return answer(status, "cannot " + verb, -3);
  }
};

class VerbConnector : public ConnectorBase {
 public:
  BOHandlerBase* getBOHandlerForBO(const char* typeName) override {
    if (typeName == nullptr || std::strncmp(typeName, "Orphan", 6) == 0) return nullptr;
    std::lock_guard<std::mutex> lock(handlersMutex_);
    std::unique_ptr<TableHandler>& handler = handlers_[typeName];
    if (!handler) handler = std::make_unique<TableHandler>();
    return handler.get();
  }
  int init(Version*) override { return 1; }
  int pollForEvents() override { return 0; }
  int terminate() override { return 0; }
  const char* getVersion() override { return "VerbConnector 1.0"; }

 private:
  std::mutex handlersMutex_;
  // Handlers stay alive for the process: registered specs keep pointing at them.
  std::map<std::string, std::unique_ptr<TableHandler>> handlers_;
};

}  // namespace

ConnectorBase* install() {
  static VerbConnector* connector = new VerbConnector();
  JToCPPVeneer::setConnector(connector);
  return connector;
}

void reset() {
  std::lock_guard<std::mutex> lock(stateMutex);
  theBehaviour = Behaviour();
  theCalls.clear();
  theTables.clear();
}

Behaviour& behaviour() { return theBehaviour; }

std::vector<Call> calls() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return theCalls;
}

std::map<std::string, Row> table(const std::string& type) {
  std::lock_guard<std::mutex> lock(stateMutex);
  return theTables[type];
}

void putRow(const std::string& type, const std::string& key, Row row) {
  std::lock_guard<std::mutex> lock(stateMutex);
  theTables[type][key] = std::move(row);
}

int publishFromThread(const char* type, const char* key, const char* verb, const char* eventId,
                      std::string* idAfter) {
  int result = 0;
  std::thread publisher([&] {
    BusinessObject bo(type);
    bo.setAttrValue(0, const_cast<char*>(key), bo.getAttrType(0));
    bo.setVerb(verb);
    if (eventId != nullptr) bo.setAttrValue("ObjectEventId", const_cast<char*>(eventId), STRING);
    SubscriptionHandlerCPP* handler = ConnectorBase::getSubscriptionHandler();
    result = handler != nullptr ? handler->gotApplEvent(bo) : -100;
    const void* id = bo.getAttrValue("ObjectEventId");
    if (idAfter != nullptr) *idAfter = id != nullptr ? static_cast<const char*>(id) : "<ignore>";
  });
  publisher.join();
  return result;
}

}  // namespace verbconnector
