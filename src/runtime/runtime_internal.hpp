// Internal services of the connector runtime shared by the bridge, the
// business object model and the runtime itself.
#ifndef HBCONNECTOR_RUNTIME_RUNTIME_INTERNAL_HPP_
#define HBCONNECTOR_RUNTIME_RUNTIME_INTERNAL_HPP_

#include <cstdarg>
#include <cstddef>

#include "hbconnector/export.hpp"
#include "hbconnector/perf_monitor.hpp"

namespace hbconnector::detail {

// Whether the library's own trace lines are wanted at all: a current veneer
// exists and its trace level is above TRACE_LEVEL0. Callers test this before
// they build an expensive line.
bool libraryTraceEnabled();
// Formats a library trace line (formatBoundedLine: at most
// kTraceLineLimit - 1 bytes, cut at a character boundary) and writes it at
// `level` with no extra text through the current veneer, but only when
// libraryTraceEnabled(). The veneer then applies its own level filter. An
// empty line is not written.
void libraryTrace(int level, const char* format, ...) HB_PRINTF_FORMAT(2, 3);
void vlibraryTrace(int level, const char* format, va_list args);

// Reads "AgentTraceLevel" through the current veneer (absent: TRACE_LEVEL0),
// composes message 80404 with that level as its one parameter, and returns
// the level. Used when a trace channel starts.
int configuredTraceLevel();

// Message types -1, 6 and 7: texts logged with them become the pending error
// text of the calling thread.
bool isErrorClassType(int type);

// Whether the agent's character encoding is "ascii7" or "ascii8", which
// selects the text forms of the property and event upcalls. *encodingName
// receives the encoding name ("" when no agent answered).
bool agentUsesAsciiEncoding(const char** encodingName = nullptr);

// The three monitors the current veneer measures the connector with; null
// when no veneer holds them.
enum class RuntimeMonitor { kInit, kDoVerbFor, kPoll };
PerfMonitor* runtimeMonitor(RuntimeMonitor which);
// Gives owner (a veneer) its three monitors, named (connectorName, "init" /
// "doverbfor" / "poll") with fresh ids and counts, and makes them current.
// Monitors released by earlier owners are reused before new ones are made.
void startRuntimeMonitors(const void* owner, const char* connectorName);
// Takes owner's monitors out of the monitor set and keeps them for the next
// start-up; they stop being current if they were. No-op for an unknown owner.
void releaseRuntimeMonitors(const void* owner);

// Runs call() and, while the performance level is above 0 both before and
// after it, records its duration in the monitor. The interval is timed in
// local variables, so calls running at the same time on several threads never
// share a start or stop time. A call that throws records nothing.
template <typename F>
auto measured(RuntimeMonitor which, F&& call) -> decltype(call()) {
  PerfMonitor* monitor = runtimeMonitor(which);
  if (monitor == nullptr || PerfMonitor::getPerfLevel() <= 0) return call();
  const std::int32_t start = PerfMonitor::now();
  auto result = call();
  if (PerfMonitor::getPerfLevel() > 0) {
    PerfMonitor::recordInterval(monitor, PerfMonitor::now() - start);
  }
  return result;
}

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_RUNTIME_RUNTIME_INTERNAL_HPP_
