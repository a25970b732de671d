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

class TableHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) override {
    Behaviour behaviour;
    Call call{bo.getVerb() != nullptr ? bo.getVerb() : "<null>", bo.isDelta(), ""};
    std::string key;  // the key values joined by "+"
    Row row;          // the simple non-key values the object sets (blank included)
    for (int i = 0; i < bo.getAttrCount(); ++i) {
      const AttrSpec* attr = bo.getAttrSpec(i);
      if (attr->isObjectType()) continue;
      const void* value = bo.getAttrValue(i);
      call.values +=
          std::string(attr->getName()) + "=" + (value ? textOf(value) : "<ignore>") + ";";
      if (attr->isKey()) {
        key += (key.empty() ? "" : "+") + textOf(value);
      } else if (value != nullptr) {
        row[attr->getName()] = textOf(value);
      }
    }
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      theCalls.push_back(call);
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
      case Throw::kStdException:
        throw std::runtime_error("disk full");
      case Throw::kStdString:
        throw std::string("quota exceeded");
    }
    std::string message;
    const int result = perform(bo, call.verb, key, std::move(row), &message);
    status->setErrorString(message.c_str());
    return behaviour.result.value_or(result);
  }

 private:
  static void stampRevision(BusinessObject& bo, Row& row, int revision) {
    const int index = bo.getSpec()->getAttributeIndex(kRevision);
    if (index < 0) return;
    row[kRevision] = std::to_string(revision);
    bo.setAttrValue(index, const_cast<char*>(row[kRevision].c_str()), bo.getAttrType(index));
  }

  static int perform(BusinessObject& bo, const std::string& verb, const std::string& key,
                     Row values, std::string* message) {
    std::lock_guard<std::mutex> lock(stateMutex);
    std::map<std::string, Row>& rows = theTables[bo.getName()];
    auto found = rows.find(key);
    if (verb == "Create") {
      *message = (found != rows.end() ? "exists " : "created ") + key;
      if (found != rows.end()) return -2;
      stampRevision(bo, rows[key] = values, 1);
      return 1;
    }
    *message = "missing " + key;
    if (found == rows.end()) return -2;
    Row& row = found->second;
    if (verb == "Retrieve") {
      for (int i = 0; i < bo.getAttrCount(); ++i) {
        const AttrSpec* attr = bo.getAttrSpec(i);
        if (attr->isObjectType() || attr->isKey()) continue;
        auto value = row.find(attr->getName());
        bo.setAttrValue(i,
                        value == row.end()      ? IGNORE_VALUE
                        : value->second.empty() ? BLANK_VALUE
                                                : const_cast<char*>(value->second.c_str()),
                        attr->getType());
      }
      *message = "retrieved " + key;
    } else if (verb == "Update" && bo.isDelta()) {
      for (auto& [name, value] : values) row[name] = value;
      *message = "patched " + key;
    } else if (verb == "Update") {
      const auto old = row.find(kRevision);
      const int next = old != row.end() ? std::stoi(old->second) + 1 : 1;
      stampRevision(bo, row = values, next);
      *message = "updated " + key;
    } else if (verb == "Delete") {
      rows.erase(found);
      *message = "deleted " + key;
    } else {
      *message = "cannot " + verb;
      return -3;
    }
    return 1;
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
