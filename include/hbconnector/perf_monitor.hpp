// Performance monitors: the time the connector's init, verb requests and
// polls take, averaged, for the agent to read.
//
// Monitoring runs only while the performance level (configuration property
// "PerfLevel", read at start-up) is above 0. A monitor enters the process-wide
// monitor set the first time one of its intervals is recorded, and lives for
// the rest of the process. Times are monotonic milliseconds.
//
// A record, as formatPerfMonitor writes it and the agent reads it:
//   <connector name>~<operation name>~<average ms>~
//
// Thread-safe: intervals may be recorded from several threads at once.
#ifndef HBCONNECTOR_PERF_MONITOR_HPP_
#define HBCONNECTOR_PERF_MONITOR_HPP_

#include <atomic>
#include <cstdint>

#include "hbconnector/collections.hpp"
#include "hbconnector/export.hpp"

// The field separator of a monitor record and of the monitor list.
inline constexpr char PERF_FIELD_SEPARATOR = '~';

class HB_EXPORT PerfMonitor {
 public:
  // Empty names, a fresh id, start and stop -1, total and count 0.
  PerfMonitor();
  PerfMonitor(const PerfMonitor&) = delete;
  PerfMonitor& operator=(const PerfMonitor&) = delete;
  ~PerfMonitor();

  // A new monitor named (first, second): the runtime uses the connector name
  // and the operation name. The caller owns it; once recorded it must live
  // for the rest of the process.
  static PerfMonitor* createPerfMonitor(const char* firstName, const char* secondName);
  static PerfMonitor* createPerfMonitor();

  // start = now / stop = now (milliseconds since the process started).
  static void startTimer(PerfMonitor* monitor);
  static void stopTimer(PerfMonitor* monitor);
  // Adds stop - start to the monitor's total and counts it. Returns 1 when
  // this entered the monitor into the set, 0 when it was there already, -1
  // (nothing recorded) when start or stop was never set.
  static int recordTime(PerfMonitor* monitor);
  // Records an interval measured by the caller (used by the runtime so that
  // concurrent calls never share start and stop). Same results as recordTime.
  static int recordInterval(PerfMonitor* monitor, std::int32_t milliseconds);

  // A new array of every monitor in the set (set order) and its size in
  // *count; the caller deletes the array with delete[], not the monitors.
  static PerfMonitor** getPerfMonitors(int* count);

  // Writes the record into buffer, at most size - 1 characters. Returns the
  // number of characters written, or a negative number when the record was cut.
  int formatPerfMonitor(char* buffer, int size) const;

  static int getPerfLevel();
  static void setPerfLevel(int level);
  // Milliseconds since the process started (monotonic).
  static std::int32_t now();

  int getId() const { return id_; }
  // Sets both names and takes a fresh id.
  void setNames(const char* firstName, const char* secondName);
  // Back to the constructed state with a fresh id.
  void reset();
  const String& getFirstName() const { return firstName_; }
  const String& getSecondName() const { return secondName_; }
  std::int32_t getStart() const { return start_.load(std::memory_order_relaxed); }
  std::int32_t getStop() const { return stop_.load(std::memory_order_relaxed); }
  std::int32_t getTotal() const { return total_.load(std::memory_order_relaxed); }
  std::int32_t getCount() const { return count_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::int32_t> start_{-1};
  std::atomic<std::int32_t> stop_{-1};
  std::atomic<std::int32_t> total_{0};
  std::atomic<std::int32_t> count_{0};
  String firstName_;
  String secondName_;
  int id_ = 0;
};

// A set item for a monitor: hash is the monitor's id, equality compares ids.
// The key keeps the id the monitor had when the key was made, so a stored key
// never changes its hash. Compare only with other PerfMonitorKey items.
class HB_EXPORT PerfMonitorKey : public HashedItem {
 public:
  explicit PerfMonitorKey(PerfMonitor* monitor) : monitor_(monitor), id_(monitor->getId()) {}
  PerfMonitor* getMonitor() const { return monitor_; }
  std::uint32_t hash() const override;
  bool isEqual(const HashedItem& other) const override;

 private:
  PerfMonitor* monitor_;
  int id_;
};

#endif  // HBCONNECTOR_PERF_MONITOR_HPP_
