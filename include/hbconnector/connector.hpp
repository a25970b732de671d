// The connector base class and the veneer between the agent and the connector.
//
// A connector library derives one class from ConnectorBase and creates exactly
// one object of it before the agent starts the connector, typically as a
// static object of the connector library:
//
//   class MyConnector : public ConnectorBase {
//    public:
//     BOHandlerBase* getBOHandlerForBO(const char* typeName) override;
//     int init(Version* version) override;          // 1 when ready
//     int pollForEvents() override;
//     int terminate() override;
//     const char* getVersion() override { return "1.0.0"; }
//   };
//   static MyConnector theConnector;                 // becomes the current connector
//   HB_FRAMEWORK_VERSION("4.1.0");                    // see version_stamp.hpp
//
// The base constructor makes the object the current connector: the last one
// constructed wins. Destroying it does not clear that pointer, so the object
// must outlive the agent's terminate call.
//
// The JToCPPVeneer is created by the library at start-up. It owns the
// subscription handler, the Tracing object and the MsgGenerator and holds the
// agent reference; every request from the agent reaches the connector through
// it, and every service the connector asks of the agent goes back through it.
#ifndef HBCONNECTOR_CONNECTOR_HPP_
#define HBCONNECTOR_CONNECTOR_HPP_

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "hbconnector/export.hpp"

class BOHandlerBase;
class BusinessObject;
class BusObjSpecRegistry;
class MsgGenerator;
class ReturnStatusDescriptor;
class StringMessage;
class SubscriptionHandlerCPP;
class Tracing;
class Version;

// The default connector name when "ConnectorName" is not configured.
inline constexpr char DEFAULT_CONNECTOR_NAME[] = "Generic_Connector";

class HB_EXPORT ConnectorBase {
 public:
  // Makes this object the current connector.
  ConnectorBase();
  ConnectorBase(const ConnectorBase&) = delete;
  ConnectorBase& operator=(const ConnectorBase&) = delete;
  // Does not reset the current-connector pointer.
  virtual ~ConnectorBase();

  // The handler for a business object type, called once per spec the agent
  // announces. Must return a handler; the connector keeps ownership.
  virtual BOHandlerBase* getBOHandlerForBO(const char* typeName) = 0;
  // Start-up, with the agent's framework version. The result goes to the
  // agent unchanged (the agent decides whether the connector runs).
  virtual int init(Version* version) = 0;
  virtual int pollForEvents() = 0;
  virtual int terminate() = 0;
  // The connector's version text; the connector keeps ownership.
  virtual const char* getVersion() = 0;
  virtual void suspend();
  virtual void resume();

  // Helpers for connector code. None of them uses the object: each forwards
  // to the current veneer and does nothing (or answers 0/false/null) when the
  // runtime is not started.

  // Copies the configuration property into buffer (cut to size - 1 bytes) and
  // returns the number of bytes stored; 0 when the agent has no value.
  static int getConfigProp(const char* name, char* buffer, int size);
  // The whole value of a configuration property (up to kMaxConfigPropBytes
  // bytes, cut there), or nullopt when the agent has no value or an empty
  // one, or the runtime is not started. A value of 4095 bytes or more costs
  // further questions to the agent, each with eight times the room.
  [[nodiscard]] static std::optional<std::string> configProp(std::string_view name);
  static constexpr std::size_t kMaxConfigPropBytes = std::size_t{1} << 20;
  // Whether the agent answers exactly "true" for delta support of the type.
  static bool isDeltaSupported(const char* typeName);
  static void logMsg(const char* text);
  static void logMsg(const char* text, int type);
  static void traceWrite(int level, const char* text, const char* extra = nullptr);
  // The caller deletes the returned text with delete[]; null without a runtime.
  [[nodiscard]] static char* generateMsg(int id, int type, int flag, int count, ...);
  static void generateAndLogMsg(int id, int type, int count, ...);
  static void generateAndTraceMsg(int id, int type, int level, int count, ...);
  static SubscriptionHandlerCPP* getSubscriptionHandler();
  // Sends bo to the collaboration `name` and waits for its answer: bo takes
  // the returned object's contents and status the returned status. Skipped
  // when name is null.
  static void consumeSync(const char* name, BusinessObject& bo, ReturnStatusDescriptor* status);
  static void consumeSync(const char* name, BusinessObject* bo, ReturnStatusDescriptor* status);
  // The collaboration names as a new message; the caller deletes it.
  [[nodiscard]] static StringMessage* getCollabNames();
  static bool isAgentCapableOfPolling();
  // The agent's character encoding and locale names (fetched once per process).
  static const char* getEncoding();
  static const char* getLocale();
};

class HB_EXPORT JToCPPVeneer {
 public:
  // Runs the start-up steps: stores the handler (and sets its back pointer)
  // and the agent reference, takes the spec registry, creates the Tracing
  // object and the MsgGenerator, becomes the current veneer, then reads
  // "ConnectorName", "AgentTraceLevel" and "PerfLevel" through the agent and
  // creates the performance monitors of init, doverbfor and poll.
  // agentInterface is the JNI global reference of the agent object (opaque here).
  JToCPPVeneer(SubscriptionHandlerCPP* handler, void* agentInterface);
  JToCPPVeneer(const JToCPPVeneer&) = delete;
  JToCPPVeneer& operator=(const JToCPPVeneer&) = delete;
  // Deletes the subscription handler, the Tracing object and the
  // MsgGenerator. When this is the current veneer, the current veneer becomes
  // null (nothing may reach a destroyed veneer).
  ~JToCPPVeneer();

  // Connector lifecycle. init answers -1 without a current connector.
  int init(Version* version);
  int pollForEvents();
  int terminate();
  const char* getVersion();
  void suspend();
  void resume();

  // Runs a verb on bo through its spec's handler, traced at level 4 and timed
  // by the "doverbfor" monitor. Answers -1 when the object has no spec or the
  // spec no handler.
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status);
  // Reads a spec record (length-prefixed text), attaches the connector's
  // handler for its type and registers it.
  void gotBusObjSpec(const char* specText);
  void gotBusObjSpec(const char* specText, int length);

  int subscribeTo(const char* boName, const char* verb, int perf);
  int cancelSub(const char* boName, const char* version, const char* verb);
  int isSubscribed(const char* boName, const char* verb);
  // Sends an application event; the byte-array form unless the agent's
  // encoding is "ascii7" or "ascii8".
  int gotApplEvent(BusinessObject& bo);

  int getConfigProp(const char* name, char* buffer, int size);
  bool isDeltaSupported(const char* typeName);

  void logMsg(const char* text);
  void logMsg(const char* text, int type);
  void traceWrite(int level, const char* text, const char* extra = nullptr);
  char* generateMsg(int id, int type, int flag, int count, ...);
  char* vgenerateMsg(int id, int type, int flag, int count, va_list params);
  void generateAndLogMsg(int id, int type, int count, ...);
  void vgenerateAndLogMsg(int id, int type, int count, va_list params);
  void generateAndTraceMsg(int id, int type, int level, int count, ...);
  void vgenerateAndTraceMsg(int id, int type, int level, int count, va_list params);
  void setTraceLevel(int level);

  // The pending error text of the calling thread: the first error-class text
  // logged since the last clear, prefixed "YYYY/MM/DD HH:MM:SS.xxx:".
  static void recordErrorMsg(const char* text);
  static const char* getErrorMsg();
  static void clearErrorMsg();

  void consumeSync(const char* name, BusinessObject& bo, ReturnStatusDescriptor* status);
  StringMessage* getCollabNames();
  bool isAgentCapableOfPolling();

  BusObjSpecRegistry* getSpecRegistry() const { return specRegistry_; }
  void setSpecRegistry(BusObjSpecRegistry* registry) { specRegistry_ = registry; }
  Tracing* getTracing() const { return tracing_; }
  void setTracing(Tracing* tracing) { tracing_ = tracing; }
  MsgGenerator* getMsgGenerator() const { return msgGenerator_; }
  void setMsgGenerator(MsgGenerator* generator) { msgGenerator_ = generator; }
  SubscriptionHandlerCPP* getSubscriptionHandler() const { return subscriptionHandler_; }
  // Replaces the handler, keeping both handlers' back pointers right.
  void setSubscriptionHandler(SubscriptionHandlerCPP* handler);
  void* getAgentInterface() const { return agentInterface_; }
  void setAgentInterface(void* agentInterface) { agentInterface_ = agentInterface; }

  static JToCPPVeneer* getVeneer();
  static void setVeneer(JToCPPVeneer* veneer);
  static ConnectorBase* getConnector();
  static void setConnector(ConnectorBase* connector);

 private:
  // The handler keeps both ends of the handler/veneer link consistent.
  friend class SubscriptionHandlerCPP;

  BusObjSpecRegistry* specRegistry_ = nullptr;
  Tracing* tracing_ = nullptr;
  MsgGenerator* msgGenerator_ = nullptr;
  SubscriptionHandlerCPP* subscriptionHandler_ = nullptr;
  void* agentInterface_ = nullptr;
};

#endif  // HBCONNECTOR_CONNECTOR_HPP_
