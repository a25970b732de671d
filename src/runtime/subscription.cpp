#include "hbconnector/subscription.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "collections/assert.hpp"
#include "collections/text.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/tracing.hpp"
#include "runtime/runtime_internal.hpp"

namespace {

constexpr char kWildcardVerb[] = "*";

SubscribedVerb* verbOf(const HashedItem* item) {
  return static_cast<SubscribedVerb*>(static_cast<const IdentityItem*>(item)->get());
}

// Removes every entry of a verb set, deleting the items and their verbs.
void drainVerbSet(HashedSet& set) {
  while (HashedItem* item = set.removeFirst()) {
    delete verbOf(item);
    delete item;
  }
}

}  // namespace

SubscribedVerb::SubscribedVerb(const char* verb) : SubscribedVerb(verb, 0) {}

SubscribedVerb::SubscribedVerb(const char* verb, int perf) : perf_(perf) {
  HB_ASSERT(verb != NULL);
  HB_ASSERT(strlen(verb) > 0);
  verb_ = hbconnector::detail::copyText(verb);
}

SubscribedVerb::~SubscribedVerb() { delete[] verb_; }

void SubscribedVerb::setVerb(char* verb) {
  if (verb == verb_) return;
  delete[] verb_;
  verb_ = verb;
}

SubscriptionHandlerCPP::SubscriptionHandlerCPP() = default;

SubscriptionHandlerCPP::~SubscriptionHandlerCPP() {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    subscriptions_.forEach([](const HashedItem& /*key*/, void* value) {
      auto* set = static_cast<HashedSet*>(value);
      drainVerbSet(*set);
      delete set;
    });
    subscriptions_.clear();
    names_.clear();
  }
  detachVeneer();
}

// The parameter is named BOName so that a failed check reads "BOName != NULL".
int SubscriptionHandlerCPP::subscribeTo(const char* BOName, const char* verb) {
  HB_ASSERT(BOName != NULL);
  traceCall("subscribeTo", BOName, verb, nullptr);
  return addSubscription(BOName, verb, 0);
}

int SubscriptionHandlerCPP::subscribeTo(const char* BOName, const char* verb, int perf) {
  HB_ASSERT(BOName != NULL);
  traceCall("subscribeTo", BOName, verb, &perf);
  return addSubscription(BOName, verb, perf);
}

int SubscriptionHandlerCPP::cancelSub(const char* BOName, const char* /*version*/,
                                      const char* verb) {
  HB_ASSERT(BOName != NULL);
  traceCall("cancelSub", BOName, nullptr, nullptr);
  return removeSubscription(BOName, verb);
}

int SubscriptionHandlerCPP::gotApplEvent(BusinessObject& bo) {
  bo.setObjectEventId();
  JToCPPVeneer* veneer = getVeneer();
  return veneer != nullptr ? veneer->gotApplEvent(bo) : -1;
}

int SubscriptionHandlerCPP::isSubscribed(const char* boName, const char* verb) {
  if (boName == nullptr || verb == nullptr) return 0;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const auto found = names_.find(std::string_view(boName));
  if (found == names_.end()) return 0;
  const auto matches = [verb](const SubscribedVerb* subscribed) {
    const char* stored = subscribed->getVerb();
    return std::strcmp(stored, verb) == 0 || std::strcmp(stored, kWildcardVerb) == 0;
  };
  const NameEntry& entry = found->second;
  if (!entry.handedOut) {
    return std::any_of(entry.verbs.begin(), entry.verbs.end(), matches) ? 1 : 0;
  }
  // The set may have been changed directly: it alone tells.
  bool subscribed = false;
  entry.set->forEach([&](const HashedItem* item) {
    if (matches(verbOf(item))) subscribed = true;
  });
  return subscribed ? 1 : 0;
}

void SubscriptionHandlerCPP::setVeneer(JToCPPVeneer* veneer) {
  JToCPPVeneer* old = veneer_.load(std::memory_order_acquire);
  if (old != nullptr && old != veneer && old->subscriptionHandler_ == this) {
    old->subscriptionHandler_ = nullptr;
  }
  if (veneer != nullptr) {
    // A handler the new veneer drops must not keep pointing at it.
    SubscriptionHandlerCPP* displaced = veneer->subscriptionHandler_;
    if (displaced != nullptr && displaced != this && displaced->getVeneer() == veneer) {
      displaced->veneer_.store(nullptr, std::memory_order_release);
    }
    veneer->subscriptionHandler_ = this;
  }
  veneer_.store(veneer, std::memory_order_release);
}

void SubscriptionHandlerCPP::detachVeneer() {
  JToCPPVeneer* veneer = veneer_.exchange(nullptr, std::memory_order_acq_rel);
  if (veneer != nullptr && veneer->subscriptionHandler_ == this) {
    veneer->subscriptionHandler_ = nullptr;
  }
}

HashedSet* SubscriptionHandlerCPP::findVerbSet(const char* boName) {
  if (boName == nullptr) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  HashedSet* verbs = findVerbSetLocked(boName);
  // The caller may change the set from now on.
  if (verbs != nullptr) {
    NameEntry& entry = names_[std::string(boName)];
    entry.set = verbs;
    entry.handedOut = true;
  }
  return verbs;
}

HashedSet* SubscriptionHandlerCPP::findVerbSetLocked(const char* boName) {
  if (boName == nullptr) return nullptr;
  return static_cast<HashedSet*>(subscriptions_.findValue(NameView(boName)));
}

void SubscriptionHandlerCPP::insertVerb(const char* BOName, SubscribedVerb* verb) {
  HB_ASSERT(BOName != NULL);
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  insertVerbLocked(BOName, verb);
}

void SubscriptionHandlerCPP::insertVerbLocked(const char* boName, SubscribedVerb* verb) {
  if (verb == nullptr) return;
  HashedSet* verbs = findVerbSetLocked(boName);
  if (verbs == nullptr) {
    verbs = new HashedSet();
    subscriptions_.insertKeyAndValue(new NameItem(boName), verbs);
    names_[std::string(boName)].set = verbs;
  }
  auto* item = new IdentityItem(verb);
  // The same SubscribedVerb inserted twice is stored once.
  if (verbs->insert(item) != item) {
    delete item;
    return;
  }
  NameEntry& entry = names_[std::string(boName)];
  entry.set = verbs;
  entry.verbs.push_back(verb);
}

void SubscriptionHandlerCPP::forgetVerb(const char* boName, const SubscribedVerb* verb) {
  const auto found = names_.find(std::string_view(boName));
  if (found == names_.end()) return;
  std::vector<SubscribedVerb*>& verbs = found->second.verbs;
  verbs.erase(std::remove(verbs.begin(), verbs.end(), verb), verbs.end());
}

int SubscriptionHandlerCPP::removeVerb(const char* boName, SubscribedVerb* verb) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  HashedSet* verbs = findVerbSetLocked(boName);
  if (verbs == nullptr || verb == nullptr) return -1;
  HashedItem* item = verbs->remove(IdentityItem(verb));
  if (item == nullptr) return -1;
  delete item;
  forgetVerb(boName, verb);
  delete verb;
  if (verbs->isEmpty()) {
    subscriptions_.remove(NameView(boName));
    const auto entry = names_.find(std::string_view(boName));
    if (entry != names_.end()) names_.erase(entry);
    delete verbs;
  }
  return 0;
}

int SubscriptionHandlerCPP::addSubscription(const char* boName, const char* verb, int perf) {
  if (verb == nullptr) verb = kWildcardVerb;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  // The virtual check, so that a derived handler's notion of "subscribed"
  // also decides what is already there.
  if (isSubscribed(boName, verb) == 1) return 0;
  insertVerbLocked(boName, new SubscribedVerb(verb, perf));
  return 0;
}

int SubscriptionHandlerCPP::removeSubscription(const char* boName, const char* verb) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  HashedSet* verbs = findVerbSetLocked(boName);
  if (verbs == nullptr) return -1;
  if (verb == nullptr) {
    // The name stays known, with no verbs.
    drainVerbSet(*verbs);
    const auto entry = names_.find(std::string_view(boName));
    if (entry != names_.end()) entry->second.verbs.clear();
    return 0;
  }
  HashedItem* match = nullptr;
  verbs->forEach([&](HashedItem* item) {
    if (match == nullptr && std::strcmp(verbOf(item)->getVerb(), verb) == 0) match = item;
  });
  if (match == nullptr) return -1;
  verbs->remove(*match);
  forgetVerb(boName, verbOf(match));
  delete verbOf(match);
  delete match;
  return 0;
}

void SubscriptionHandlerCPP::traceCall(const char* what, const char* boName, const char* verb,
                                       const int* perf) {
  if (!hbconnector::detail::libraryTraceEnabled()) return;
  std::string line = "SubscriptionHandlerCPP::";
  line += what;
  line += " call for Object named: ";
  line += boName;
  if (verb != nullptr) {
    line += " verb: ";
    line += verb;
  }
  if (perf != nullptr) {
    line += ", perf=";
    line += std::to_string(*perf);
  }
  hbconnector::detail::libraryTrace(TRACE_LEVEL5, "%s", line.c_str());
}
