// The agent side of every call the library makes into the Java agent.
//
// AgentPort mirrors the agent's Java methods at the raw level: C texts and
// bytes in, C texts and bytes out. The production port
// (bridge/jni_agent_port.cpp) performs the JNI calls on the calling thread,
// attaching it when needed; native tests
// install a recording fake with setAgentPort. The library's own logic around
// these calls (property lookup rules, event ids, character conversion,
// caching) lives in runtime/upcalls.hpp and is shared by every port.
//
// A port never throws and never crashes on a null or odd answer from the
// agent: a missing answer is reported through the documented results below.
#ifndef HBCONNECTOR_RUNTIME_AGENT_PORT_HPP_
#define HBCONNECTOR_RUNTIME_AGENT_PORT_HPP_

#include <cstddef>
#include <string>

namespace hbconnector::detail {

class AgentPort {
 public:
  virtual ~AgentPort() = default;

  // Whether an agent can be reached at all (a virtual machine exists and the
  // runtime holds an agent object). Every other operation is a no-op with its
  // "no answer" result when this is false.
  virtual bool available() = 0;

  // Static agent methods getConfigProp / getConfigPropI18n / getDeltaSupport.
  // The answer is copied into buffer, cut to size - 1 bytes and
  // zero-terminated. Result: bytes stored, or -1 when the agent answered null
  // (buffer then empty).
  virtual int getConfigProp(const char* name, char* buffer, int size) = 0;
  virtual int getConfigPropI18n(const char* name, char* buffer, int size) = 0;
  virtual int getDeltaSupport(const char* boName, char* buffer, int size) = 0;

  virtual void logMsg(const char* text) = 0;
  virtual void logMsg(const char* text, int type) = 0;
  virtual void traceWrite(const char* connectorName, int level, const char* delimiter,
                          const char* text, const char* extra) = 0;
  // The composed text as a new[] buffer owned by the caller; null when the
  // agent answered null.
  virtual char* generateMsg(int id, int type, const char* extra, int flag, int count,
                            const char* params) = 0;

  // GotEventFromApp, text form and byte-array form (bytes sent as given).
  virtual int gotEventFromApp(const char* text) = 0;
  virtual int gotEventFromApp(const char* bytes, std::size_t length, const char* encoding) = 0;

  // consumeSync: sends the business object text and the status text in two
  // buckets; afterwards *boText and *statusText hold the buckets' contents.
  // Returns false when a bucket holds no string afterwards.
  virtual bool consumeSync(const char* name, std::string* boText, std::string* statusText) = 0;

  // Instance methods answering a string; false when the agent answered null.
  virtual bool getCollabNames(std::string* names) = 0;
  virtual bool getEncoding(std::string* encoding) = 0;
  virtual bool getLocale(std::string* locale) = 0;
  virtual bool isAgentCapableOfPolling() = 0;
};

// The port in use: the one a test installed, else the registered default,
// else a port that reaches no agent (available() false, every call a no-op).
AgentPort& agentPort();
// Installs an override (not owned); null removes it. For tests.
void setAgentPort(AgentPort* port);
// Registers the default port (not owned). The bridge registers its JNI port
// as soon as the library learns of the virtual machine (JNI_OnLoad or the
// first native call), so the runtime never depends on JNI directly.
void setDefaultAgentPort(AgentPort* port);

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_RUNTIME_AGENT_PORT_HPP_
