// Tracing, logging and message generation.
//
// Every diagnostic ends in the Java agent: trace lines (filtered by the trace
// level) go to its TraceWrite method, log texts to logMsg, and numbered
// messages are composed by its generateMsg from an id, a message type and
// text parameters joined with ",". Connector code reaches these through the
// static helpers of ConnectorBase and the members of BOHandlerBase; the
// objects below are owned by the runtime's JToCPPVeneer.
//
// Message types -1, 6 and 7 are error-class: a text logged with one of them
// becomes the pending error text of the calling thread, which a verb request
// copies into its ReturnStatusDescriptor when the handler set no message.
#ifndef HBCONNECTOR_TRACING_HPP_
#define HBCONNECTOR_TRACING_HPP_

#include <atomic>
#include <cstdarg>

#include "hbconnector/export.hpp"

// Trace levels. Level 0 is the default trace level and the threshold below
// which nothing is traced; it is a writable variable (read when the runtime
// starts), the others are constants. Higher levels are more detailed.
HB_EXPORT extern int TRACE_LEVEL0;
inline constexpr int TRACE_LEVEL1 = 1;
inline constexpr int TRACE_LEVEL2 = 2;
inline constexpr int TRACE_LEVEL3 = 3;
inline constexpr int TRACE_LEVEL4 = 4;
inline constexpr int TRACE_LEVEL5 = 5;

// The configuration property that sets the trace level at start-up.
inline constexpr char TRACE_LEVEL_PROPERTY[] = "AgentTraceLevel";

// Message types for message generation and typed logging. The agent gives
// them their meaning; the library itself uses 4 for trace-level notices, 5 and
// 6 for failures of its built-in verb procedures, 7 for start-up failures, and
// treats -1, 6 and 7 as error-class (see the file comment).
inline constexpr int MSGTYPE_STATUS = -1;
inline constexpr int MSGTYPE_1 = 1;
inline constexpr int MSGTYPE_2 = 2;
inline constexpr int MSGTYPE_3 = 3;
inline constexpr int MSGTYPE_INFO = 4;
inline constexpr int MSGTYPE_WARNING = 5;
inline constexpr int MSGTYPE_ERROR = 6;
inline constexpr int MSGTYPE_FATAL = 7;
inline constexpr int MSGTYPE_8 = 8;
inline constexpr int MSGTYPE_9 = 9;

// The text passed as the third argument of every TraceWrite call; initially
// ",". The setter copies the text; null is ignored.
HB_EXPORT const char* getTraceDelimiter();
HB_EXPORT void setTraceDelimiter(const char* delimiter);

// The trace channel: a connector name and the current trace level.
// Thread-safe: the level may be changed while other threads trace.
class HB_EXPORT Tracing {
 public:
  // Without a name, both fields start empty (null name, level 0) and nothing
  // else happens. With a name: keeps a copy, reads "AgentTraceLevel" through
  // the agent (decimal; absent gives trace level 0), generates message 80404
  // with that level, then setTraceLevel.
  explicit Tracing(const char* connectorName = nullptr);
  Tracing(const Tracing&) = delete;
  Tracing& operator=(const Tracing&) = delete;
  ~Tracing();

  // Sends (connector name, level, trace delimiter, text, extra) to the agent's
  // TraceWrite when 0 <= level <= the current trace level; otherwise nothing.
  void write(int level, const char* text, const char* extra);
  void write(int level, const char* text);

  // Stores the level and generates message 80405 with the parameters
  // "level,level".
  void setTraceLevel(int level);
  int getTraceLevel() const { return level_.load(std::memory_order_relaxed); }

  const char* getConnectorName() const { return name_; }
  // Takes ownership of name (allocated with new[]); the previous name is deleted.
  void setConnectorName(char* name);

 private:
  char* name_ = nullptr;
  std::atomic<int> level_{0};
};

// Composes numbered messages through the agent's generateMsg.
class HB_EXPORT MsgGenerator {
 public:
  MsgGenerator() = default;
  MsgGenerator(const MsgGenerator&) = delete;
  MsgGenerator& operator=(const MsgGenerator&) = delete;
  ~MsgGenerator();

  // Joins the count parameter texts with "," and asks the agent to compose
  // message id. Returns a new text that the caller deletes with delete[], or
  // null when there is no agent to ask. A null parameter counts as empty text.
  char* generateMsg(int id, int type, const char* extra, int flag, int count, ...);
  char* vgenerateMsg(int id, int type, const char* extra, int flag, int count, va_list params);

 private:
  char* buffer_ = nullptr;
};

#endif  // HBCONNECTOR_TRACING_HPP_
