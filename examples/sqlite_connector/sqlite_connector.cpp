// A sample connector over a SQLite database: Customer business objects with
// their Address children, the four verbs in SQL transactions, and
// application events read from an event table that triggers fill.
//
// Configuration properties (besides the agent's own):
//   DatabasePath         the database file; empty or absent: a fresh
//                        temporary database, removed at terminate
//   PollQuantity         events published per poll at most (default 10)
//   TestExitAfterEvents  test hook: end the process right after publishing
//                        this many events, before marking the last one done
//                        (so the next run must publish it again)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "customer_store.hpp"
#include "hbconnector/hbconnector.hpp"
#include "sqlite_db.hpp"

namespace sample {
namespace {

// Texts of the configuration properties ("" when there is none).
std::string property(std::string_view name) {
  return ConnectorBase::configProp(name).value_or(std::string());
}

int intProperty(std::string_view name, int fallback) {
  const std::string text = property(name);
  if (text.empty()) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  return end != text.c_str() && *end == '\0' ? static_cast<int>(value) : fallback;
}

// An agent answer of 0 or more means it took the event; a negative answer
// (-10 when no collaboration subscribes) means it did not.
bool accepted(int answer) { return answer >= 0; }

class SqliteConnector;

// The one handler: performs the verbs of Customer objects. Address objects
// travel only inside their customer.
class CustomerHandler : public BOHandlerBase {
 public:
  CustomerHandler(SqliteConnector& connector) : connector_(connector) {}
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) override;

 private:
  SqliteConnector& connector_;
};

class SqliteConnector : public ConnectorBase {
 public:
  SqliteConnector() : handler_(*this) {}

  BOHandlerBase* getBOHandlerForBO(const char*) override { return &handler_; }

  int init(Version*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = property("ConnectorName");
    if (name_.empty()) name_ = DEFAULT_CONNECTOR_NAME;
    pollQuantity_ = intProperty("PollQuantity", 10);
    exitAfterEvents_ = intProperty("TestExitAfterEvents", 0);
    published_ = 0;
    std::string path = property("DatabasePath");
    try {
      if (path.empty()) {
        char folder[] = "/tmp/hb_sqlite_connector_XXXXXX";
        if (mkdtemp(folder) == nullptr) throw DbError("cannot create a temporary folder");
        temporaryFolder_ = folder;
        path = temporaryFolder_ + "/customers.db";
      }
      db_.open(path);
      store_.createSchema();
    } catch (const DbError& e) {
      logMsg((std::string("SQLite connector cannot start: ") + e.what()).c_str(), MSGTYPE_FATAL);
      db_.close();
      removeTemporary();
      return -1;
    }
    traceWrite(TRACE_LEVEL1, ("SQLite connector opened " + path).c_str());
    logMsg(("SQLite connector " + name_ + " is using the database " + path).c_str(), MSGTYPE_INFO);
    return 1;
  }

  int pollForEvents() override {
    int sent = 0;
    std::vector<PendingEvent> events;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!db_.isOpen()) return -1;
      try {
        events = store_.pendingEvents(pollQuantity_);
      } catch (const DbError& e) {
        logMsg((std::string("reading the event table failed: ") + e.what()).c_str(), MSGTYPE_ERROR);
        return -1;
      }
    }
    for (const PendingEvent& event : events) {
      const int result = publish(event);
      if (result < 0) return result;
      sent += result;
    }
    traceWrite(TRACE_LEVEL4, ("poll published " + std::to_string(sent) + " events").c_str());
    return 0;
  }

  int terminate() override {
    std::lock_guard<std::mutex> lock(mutex_);
    db_.close();
    removeTemporary();
    traceWrite(TRACE_LEVEL1, "SQLite connector closed its database");
    return 0;
  }

  const char* getVersion() override { return "SQLite sample connector 1.0.0"; }

  std::mutex& mutex() { return mutex_; }
  CustomerStore& store() { return store_; }

 private:
  // Publishes one event: 1 when the agent took it, 0 when it was dropped
  // (nobody subscribes, or the customer is gone), -1 to stop polling (the
  // agent refused it or the database failed; it stays pending).
  int publish(const PendingEvent& event) {
    std::unique_ptr<BusinessObject> bo;
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!event.resend) store_.markSending(event.id);
      SubscriptionHandlerCPP* subscriptions = getSubscriptionHandler();
      if (subscriptions == nullptr ||
          !subscriptions->isSubscribed(event.objectName.c_str(), event.verb.c_str())) {
        store_.markEvent(event.id, "unsubscribed");
        return 0;
      }
      bo = std::make_unique<BusinessObject>(event.objectName.c_str());
      if (bo->getSpec() == nullptr) {
        store_.markEvent(event.id, "new");
        logMsg(("no specification for " + event.objectName + ": event left pending").c_str(),
               MSGTYPE_ERROR);
        return -1;
      }
      if (verbFromName(event.verb) == Verb::Delete) {
        bo->setAttrText("CustomerId", event.objectKey);
      } else if (!store_.load(event.objectKey, *bo)) {
        store_.markEvent(event.id, "vanished");  // deleted since: its Delete event follows
        return 0;
      }
      bo->setVerb(event.verb.c_str());
      // The event row's number names the event, so a resent event carries
      // the same identifier as the first time.
      const std::string eventId = name_ + "_event_" + std::to_string(event.id);
      bo->setAttrText("ObjectEventId", eventId);
    } catch (const DbError& e) {
      logMsg((std::string("building an event failed: ") + e.what()).c_str(), MSGTYPE_ERROR);
      return -1;
    }
    traceWrite(TRACE_LEVEL3,
               ("publishing event " + std::to_string(event.id) + ": " + event.objectName + " " +
                event.verb + " " + event.objectKey + (event.resend ? " (again)" : ""))
                   .c_str());
    const int answer = getSubscriptionHandler()->gotApplEvent(*bo);
    if (exitAfterEvents_ > 0 && ++published_ == exitAfterEvents_) {
      std::fprintf(
          stderr,
          "sqlite connector: TestExitAfterEvents=%d reached: stopping before event %lld is "
          "marked done\n",
          exitAfterEvents_, event.id);
      std::fflush(nullptr);
      std::_Exit(3);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      if (!accepted(answer)) {
        store_.markEvent(event.id, "new");
        traceWrite(TRACE_LEVEL1, ("the agent refused event " + std::to_string(event.id) +
                                  " (answer " + std::to_string(answer) + "); it stays pending")
                                     .c_str());
        return -1;
      }
      store_.markEvent(event.id, "done");
    } catch (const DbError& e) {
      logMsg((std::string("marking an event failed: ") + e.what()).c_str(), MSGTYPE_ERROR);
      return -1;
    }
    return 1;
  }

  void removeTemporary() {
    if (temporaryFolder_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(temporaryFolder_, ignored);
    temporaryFolder_.clear();
  }

  std::mutex mutex_;
  Database db_;
  CustomerStore store_{db_};
  CustomerHandler handler_;
  std::string name_;
  std::string temporaryFolder_;
  int pollQuantity_ = 10;
  int exitAfterEvents_ = 0;
  int published_ = 0;
};

int CustomerHandler::doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) {
  const char* verb = bo.getVerb() != nullptr ? bo.getVerb() : "";
  Outcome outcome{-1, ""};
  if (std::string_view(bo.getName()) != "Customer") {
    outcome = {-1, std::string(bo.getName()) + " objects travel inside their Customer"};
  } else {
    std::lock_guard<std::mutex> lock(connector_.mutex());
    try {
      const std::optional<Verb> known = verbFromName(verb);
      if (!known) {
        outcome = {-1, std::string("the verb ") + verb + " is not supported"};
      } else {
        switch (*known) {
          case Verb::Create:
            // Fills required values from their defaults ("UseDefaults").
            if (!bo.initAndValidateAttrs()) {
              outcome = {-1, "required values are missing"};
            } else {
              outcome = connector_.store().create(bo);
            }
            break;
          case Verb::Retrieve:
            outcome = connector_.store().retrieve(bo);
            break;
          case Verb::Update:
            outcome = connector_.store().update(bo);
            break;
          case Verb::Delete:
            outcome = connector_.store().remove(bo);
            break;
        }
      }
    } catch (const Refusal& e) {
      outcome = {e.status(), e.what()};
    } catch (const DbError& e) {
      outcome = {-1, std::string("database error: ") + e.what()};
    }
  }
  traceWrite(TRACE_LEVEL3,
             (std::string(verb) + " " + bo.getName() + ": " + outcome.message).c_str());
  status->setErrorString(outcome.message.c_str());
  status->setStatus(outcome.status);
  return outcome.status;
}

// The connector object: constructing it makes it the current connector.
SqliteConnector theConnector;

}  // namespace
}  // namespace sample
