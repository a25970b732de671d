// Subscriptions: which business object types and verbs the broker's
// collaborations want, and the way a connector publishes application events.
//
// The runtime creates one SubscriptionHandlerCPP per running connector and
// owns it; connector code reaches it through ConnectorBase::getSubscriptionHandler
// and publishes an event with gotApplEvent:
//
//   BusinessObject* bo = new BusinessObject("Customer");
//   bo->setVerb("Create");  ...
//   if (handler->isSubscribed("Customer", "Create")) handler->gotApplEvent(*bo);
//   delete bo;
//
// A verb "*" is a wildcard matching every verb of the name. Names and verbs
// compare exactly (case matters). Thread-safe: the table may be queried while
// the agent subscribes or cancels on other threads.
#ifndef HBCONNECTOR_SUBSCRIPTION_HPP_
#define HBCONNECTOR_SUBSCRIPTION_HPP_

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hbconnector/collections.hpp"
#include "hbconnector/export.hpp"

class BusinessObject;
class JToCPPVeneer;

// One subscribed verb with the performance value given with it (stored, not
// interpreted).
class HB_EXPORT SubscribedVerb {
 public:
  // verb must be present and non-empty (assertion).
  explicit SubscribedVerb(const char* verb);
  SubscribedVerb(const char* verb, int perf);
  SubscribedVerb(const SubscribedVerb&) = delete;
  SubscribedVerb& operator=(const SubscribedVerb&) = delete;
  ~SubscribedVerb();

  const char* getVerb() const { return verb_; }
  // Takes ownership of verb (allocated with new[]); the previous text is deleted.
  void setVerb(char* verb);
  int getPerf() const { return perf_; }
  void setPerf(int perf) { perf_ = perf; }

 private:
  char* verb_ = nullptr;
  int perf_ = 0;
};

class HB_EXPORT SubscriptionHandlerCPP {
 public:
  SubscriptionHandlerCPP();
  SubscriptionHandlerCPP(const SubscriptionHandlerCPP&) = delete;
  SubscriptionHandlerCPP& operator=(const SubscriptionHandlerCPP&) = delete;
  // Deletes every subscription and detaches from the veneer.
  virtual ~SubscriptionHandlerCPP();

  // Subscribes to boName (required) and verb (null means "*"). Repeating a
  // subscription changes nothing (the first perf stays). Returns 0.
  virtual int subscribeTo(const char* boName, const char* verb);
  // Removes the subscription of verb, or with a null verb every verb of the
  // name (the name then stays with no verbs). Returns 0 when something was
  // removed or the name was known, -1 when there was nothing to remove. A
  // stored "*" is removed only by "*" or a null verb. The second argument is
  // not used.
  virtual int cancelSub(const char* boName, const char* version, const char* verb);
  // Gives bo and its children their ObjectEventId values and sends it to the
  // agent; returns the agent's answer (-10 when nobody subscribes to the
  // object's name and verb and the agent takes text events).
  virtual int gotApplEvent(BusinessObject& bo);
  // 1 when verb (or "*") is subscribed for boName, else 0; 0 for null
  // arguments.
  virtual int isSubscribed(const char* boName, const char* verb);

  // subscribeTo with a performance value stored with the subscription.
  int subscribeTo(const char* boName, const char* verb, int perf);

  // Attaches to veneer: the old veneer forgets this handler, the new one takes it.
  void setVeneer(JToCPPVeneer* veneer);
  void detachVeneer();
  JToCPPVeneer* getVeneer() const { return veneer_.load(std::memory_order_acquire); }

  // Table primitives. findVerbSet returns the name's set of SubscribedVerb
  // items (IdentityItem holding a SubscribedVerb*), or null; the pointer is
  // valid only while no other thread changes the table. Code that changes a
  // set it got this way keeps isSubscribed right for that name.
  HashedSet* findVerbSet(const char* boName);
  // Takes ownership of verb; creates the name's set on first use.
  void insertVerb(const char* boName, SubscribedVerb* verb);
  // Removes and deletes verb from the name's set; the name and its set go
  // when the set becomes empty. Returns 0, or -1 when it was not there.
  int removeVerb(const char* boName, SubscribedVerb* verb);

 private:
  int addSubscription(const char* boName, const char* verb, int perf);
  int removeSubscription(const char* boName, const char* verb);
  void traceCall(const char* what, const char* boName, const char* verb, const int* perf);

  // What isSubscribed reads for one name: the name's set and, while only
  // this class has changed it, the verbs it holds (their texts are read at
  // each check, so a verb renamed through SubscribedVerb::setVerb is seen).
  // Once the set has been handed out by findVerbSet, the set itself is read.
  struct NameEntry {
    HashedSet* set = nullptr;
    std::vector<SubscribedVerb*> verbs;
    bool handedOut = false;
  };
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const {
      return std::hash<std::string_view>{}(name);
    }
  };
  HashedSet* findVerbSetLocked(const char* boName);
  void insertVerbLocked(const char* boName, SubscribedVerb* verb);
  void forgetVerb(const char* boName, const SubscribedVerb* verb);

  // Read by polling threads (gotApplEvent) while start-up or shut-down may
  // change it.
  std::atomic<JToCPPVeneer*> veneer_{nullptr};
  // Name -> HashedSet of IdentityItem(SubscribedVerb*).
  HashedDictionary subscriptions_;
  // The same names for isSubscribed, looked up without building a key item.
  std::unordered_map<std::string, NameEntry, NameHash, std::equal_to<>> names_;
  mutable std::recursive_mutex mutex_;
};

#endif  // HBCONNECTOR_SUBSCRIPTION_HPP_
