// The application's data as the sample connector sees it: customers with
// their addresses in SQLite, and the event table that triggers on those
// tables fill. Maps Customer/Address business objects to rows and back.
#ifndef HB_SAMPLE_CUSTOMER_STORE_HPP_
#define HB_SAMPLE_CUSTOMER_STORE_HPP_

#include <stdexcept>
#include <string>
#include <vector>

#include "sqlite_db.hpp"

class BusinessObject;

namespace sample {

// Verb results of the sample connector besides 1 (done) and -1 (failed).
inline constexpr int kNotFound = -2;  // no such customer / address, or one that already exists

// A verb refused for a reason of the data (not of the database): the
// transaction rolls back and the agent gets status and message.
class Refusal : public std::runtime_error {
 public:
  Refusal(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// The outcome of a verb: the status and the message for the agent.
struct Outcome {
  int status;
  std::string message;
};

// One row of the event table.
struct PendingEvent {
  long long id;
  std::string objectName;
  std::string objectKey;
  std::string verb;
  bool resend;  // published before by a run that stopped before marking it done
};

class CustomerStore {
 public:
  explicit CustomerStore(Database& db) : db_(db) {}

  // Creates the tables and triggers when missing.
  void createSchema();

  // The verbs. Each runs in one transaction and, when it succeeds, leaves
  // the object holding the customer as stored (keys and defaults included).
  Outcome create(BusinessObject& bo);
  Outcome retrieve(BusinessObject& bo);
  Outcome update(BusinessObject& bo);
  Outcome remove(BusinessObject& bo);

  // Fills bo (a Customer) from the database; false when there is no such customer.
  bool load(const std::string& customerId, BusinessObject& bo);

  // Up to limit events not yet done, oldest first.
  std::vector<PendingEvent> pendingEvents(int limit);
  // Records that the event is being published (committed at once, so a
  // change made from now on gets an event of its own).
  void markSending(long long eventId);
  // Records the event's final state: "done", "unsubscribed", "vanished" or
  // back to "new" when the agent refused it.
  void markEvent(long long eventId, const char* status);

 private:
  void writeAddresses(BusinessObject& bo, const std::string& customerId, bool delta,
                      std::string* note);
  std::string nextCustomerId();
  std::string nextAddressId(const std::string& customerId);

  Database& db_;
};

}  // namespace sample

#endif  // HB_SAMPLE_CUSTOMER_STORE_HPP_
