#include "hbconnector/perf_monitor.hpp"

#include <array>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "runtime/runtime_internal.hpp"

namespace {

std::atomic<int> nextMonitorId{0};
std::atomic<int> perfLevel{0};

// The process-wide monitor set and its lock. Never destroyed: monitors live
// for the rest of the process, and agent threads may record while the
// process runs its static destructors.
struct MonitorSet {
  std::mutex mutex;
  HashedSet set;
};
MonitorSet& monitorSet() {
  static MonitorSet& monitors = *new MonitorSet;
  return monitors;
}

// The runtime's three monitors. Each veneer gets its three at construction
// and gives them back when it is destroyed: they leave the monitor set and
// wait in `spare` for the next start-up, which renames and resets them. So a
// connector that is started and stopped many times keeps three monitors, not
// three per start-up. Monitors are still never deleted: a call that loaded a
// pointer just before the veneer went may still record into it.
struct RuntimeMonitors {
  std::mutex mutex;
  std::atomic<PerfMonitor*> init{nullptr};
  std::atomic<PerfMonitor*> doVerbFor{nullptr};
  std::atomic<PerfMonitor*> poll{nullptr};
  std::vector<std::pair<const void*, std::array<PerfMonitor*, 3>>> owned;
  std::vector<PerfMonitor*> spare;
};
RuntimeMonitors& runtimeMonitors() {
  static RuntimeMonitors& monitors = *new RuntimeMonitors;
  return monitors;
}

// Takes monitor out of the monitor set (every key that names it).
void leaveMonitorSet(PerfMonitor* monitor) {
  MonitorSet& monitors = monitorSet();
  std::lock_guard<std::mutex> lock(monitors.mutex);
  std::vector<HashedItem*> keys;
  monitors.set.forEach([&](HashedItem* item) {
    if (static_cast<PerfMonitorKey*>(item)->getMonitor() == monitor) keys.push_back(item);
  });
  for (HashedItem* key : keys) {
    monitors.set.remove(*key);
    delete key;
  }
}

std::chrono::steady_clock::time_point processStart() noexcept {
  static const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  return start;
}
// Taken when the library is loaded, so that times count from process start-up.
[[maybe_unused]] const std::chrono::steady_clock::time_point loadTime = processStart();

}  // namespace

namespace hbconnector::detail {

PerfMonitor* runtimeMonitor(RuntimeMonitor which) {
  RuntimeMonitors& monitors = runtimeMonitors();
  switch (which) {
    case RuntimeMonitor::kInit:
      return monitors.init.load(std::memory_order_acquire);
    case RuntimeMonitor::kDoVerbFor:
      return monitors.doVerbFor.load(std::memory_order_acquire);
    case RuntimeMonitor::kPoll:
      return monitors.poll.load(std::memory_order_acquire);
  }
  return nullptr;
}

void startRuntimeMonitors(const void* owner, const char* connectorName) {
  RuntimeMonitors& monitors = runtimeMonitors();
  std::lock_guard<std::mutex> lock(monitors.mutex);
  static constexpr const char* kOperations[3] = {"init", "doverbfor", "poll"};
  std::array<PerfMonitor*, 3> made{};
  for (std::size_t i = 0; i < made.size(); ++i) {
    PerfMonitor* monitor = nullptr;
    if (!monitors.spare.empty()) {
      monitor = monitors.spare.back();
      monitors.spare.pop_back();
      monitor->reset();
      monitor->setNames(connectorName, kOperations[i]);
    } else {
      monitor = PerfMonitor::createPerfMonitor(connectorName, kOperations[i]);
    }
    made[i] = monitor;
  }
  monitors.owned.emplace_back(owner, made);
  monitors.init.store(made[0], std::memory_order_release);
  monitors.doVerbFor.store(made[1], std::memory_order_release);
  monitors.poll.store(made[2], std::memory_order_release);
}

void releaseRuntimeMonitors(const void* owner) {
  RuntimeMonitors& monitors = runtimeMonitors();
  std::lock_guard<std::mutex> lock(monitors.mutex);
  for (auto entry = monitors.owned.begin(); entry != monitors.owned.end(); ++entry) {
    if (entry->first != owner) continue;
    for (PerfMonitor* monitor : entry->second) {
      for (std::atomic<PerfMonitor*>* current :
           {&monitors.init, &monitors.doVerbFor, &monitors.poll}) {
        PerfMonitor* expected = monitor;
        current->compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
      }
      leaveMonitorSet(monitor);
      monitors.spare.push_back(monitor);
    }
    monitors.owned.erase(entry);
    return;
  }
}

}  // namespace hbconnector::detail

PerfMonitor::PerfMonitor() : id_(nextMonitorId.fetch_add(1, std::memory_order_relaxed)) {}

PerfMonitor::~PerfMonitor() = default;

PerfMonitor* PerfMonitor::createPerfMonitor(const char* firstName, const char* secondName) {
  auto* monitor = new PerfMonitor();
  monitor->setNames(firstName, secondName);
  return monitor;
}

PerfMonitor* PerfMonitor::createPerfMonitor() { return new PerfMonitor(); }

void PerfMonitor::startTimer(PerfMonitor* monitor) {
  if (monitor != nullptr) monitor->start_.store(now(), std::memory_order_relaxed);
}

void PerfMonitor::stopTimer(PerfMonitor* monitor) {
  if (monitor != nullptr) monitor->stop_.store(now(), std::memory_order_relaxed);
}

int PerfMonitor::recordTime(PerfMonitor* monitor) {
  if (monitor == nullptr) return -1;
  const std::int32_t start = monitor->getStart();
  const std::int32_t stop = monitor->getStop();
  if (start == -1 || stop == -1) return -1;
  return recordInterval(monitor, stop - start);
}

int PerfMonitor::recordInterval(PerfMonitor* monitor, std::int32_t milliseconds) {
  if (monitor == nullptr) return -1;
  MonitorSet& monitors = monitorSet();
  std::lock_guard<std::mutex> lock(monitors.mutex);
  auto* found = static_cast<PerfMonitorKey*>(monitors.set.find(PerfMonitorKey(monitor)));
  if (found == nullptr) {
    // A monitor given a new id (setNames, reset) after it entered the set is
    // keyed again under its new id rather than listed twice.
    HashedItem* stale = nullptr;
    monitors.set.forEach([&](HashedItem* item) {
      if (static_cast<PerfMonitorKey*>(item)->getMonitor() == monitor) stale = item;
    });
    if (stale != nullptr) {
      monitors.set.remove(*stale);
      delete stale;
      found = static_cast<PerfMonitorKey*>(monitors.set.insert(new PerfMonitorKey(monitor)));
    }
  }
  PerfMonitor* target = found != nullptr ? found->getMonitor() : monitor;
  target->total_.fetch_add(milliseconds, std::memory_order_relaxed);
  target->count_.fetch_add(1, std::memory_order_relaxed);
  if (found != nullptr) return 0;
  monitors.set.insert(new PerfMonitorKey(monitor));
  return 1;
}

PerfMonitor** PerfMonitor::getPerfMonitors(int* count) {
  MonitorSet& monitors = monitorSet();
  std::lock_guard<std::mutex> lock(monitors.mutex);
  auto** result = new PerfMonitor*[monitors.set.entries()];
  int n = 0;
  monitors.set.forEach(
      [&](HashedItem* item) { result[n++] = static_cast<PerfMonitorKey*>(item)->getMonitor(); });
  if (count != nullptr) *count = n;
  return result;
}

int PerfMonitor::formatPerfMonitor(char* buffer, int size) const {
  if (buffer == nullptr || size <= 0) return -1;
  const std::int32_t count = getCount();
  const std::int32_t average = count > 0 ? getTotal() / count : 0;
  const int written =
      std::snprintf(buffer, static_cast<std::size_t>(size), "%s%c%s%c%d%c", firstName_.c_str(),
                    PERF_FIELD_SEPARATOR, secondName_.c_str(), PERF_FIELD_SEPARATOR,
                    static_cast<int>(average), PERF_FIELD_SEPARATOR);
  if (written < 0 || written >= size) return -1;
  return written;
}

int PerfMonitor::getPerfLevel() { return perfLevel.load(std::memory_order_relaxed); }

void PerfMonitor::setPerfLevel(int level) { perfLevel.store(level, std::memory_order_relaxed); }

std::int32_t PerfMonitor::now() {
  const auto elapsed = std::chrono::steady_clock::now() - processStart();
  return static_cast<std::int32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void PerfMonitor::setNames(const char* firstName, const char* secondName) {
  firstName_ = firstName;
  secondName_ = secondName;
  id_ = nextMonitorId.fetch_add(1, std::memory_order_relaxed);
}

void PerfMonitor::reset() {
  firstName_ = String();
  secondName_ = String();
  id_ = nextMonitorId.fetch_add(1, std::memory_order_relaxed);
  start_.store(-1, std::memory_order_relaxed);
  stop_.store(-1, std::memory_order_relaxed);
  total_.store(0, std::memory_order_relaxed);
  count_.store(0, std::memory_order_relaxed);
}

std::uint32_t PerfMonitorKey::hash() const { return static_cast<std::uint32_t>(id_); }

bool PerfMonitorKey::isEqual(const HashedItem& other) const {
  return id_ == static_cast<const PerfMonitorKey&>(other).id_;
}
