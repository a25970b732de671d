#include "runtime/agent_port.hpp"

#include <atomic>

namespace hbconnector::detail {
namespace {

// The port used while no agent can be reached: before the bridge has learnt
// of a virtual machine, or in native code that runs without one. Every call
// does nothing and gives the "no answer" result of its operation.
class NoAgentPort final : public AgentPort {
 public:
  bool available() override { return false; }

  int getConfigProp(const char* /*name*/, char* buffer, int size) override {
    return noAnswer(buffer, size);
  }
  int getConfigPropI18n(const char* /*name*/, char* buffer, int size) override {
    return noAnswer(buffer, size);
  }
  int getDeltaSupport(const char* /*boName*/, char* buffer, int size) override {
    return noAnswer(buffer, size);
  }

  void logMsg(const char* /*text*/) override {}
  void logMsg(const char* /*text*/, int /*type*/) override {}
  void traceWrite(const char* /*connectorName*/, int /*level*/, const char* /*delimiter*/,
                  const char* /*text*/, const char* /*extra*/) override {}
  char* generateMsg(int /*id*/, int /*type*/, const char* /*extra*/, int /*flag*/, int /*count*/,
                    const char* /*params*/) override {
    return nullptr;
  }

  int gotEventFromApp(const char* /*text*/) override { return -1; }
  int gotEventFromApp(const char* /*bytes*/, std::size_t /*length*/,
                      const char* /*encoding*/) override {
    return -1;
  }
  bool consumeSync(const char* /*name*/, std::string* /*boText*/,
                   std::string* /*statusText*/) override {
    return false;
  }

  bool getCollabNames(std::string* /*names*/) override { return false; }
  bool getEncoding(std::string* /*encoding*/) override { return false; }
  bool getLocale(std::string* /*locale*/) override { return false; }
  bool isAgentCapableOfPolling() override { return false; }

 private:
  static int noAnswer(char* buffer, int size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return -1;
  }
};

// Never destroyed: agent threads may still ask for the port while the
// process runs its static destructors.
NoAgentPort& noAgentPort() {
  static NoAgentPort& port = *new NoAgentPort;
  return port;
}

std::atomic<AgentPort*> overridePort{nullptr};
std::atomic<AgentPort*> defaultPort{nullptr};

}  // namespace

AgentPort& agentPort() {
  if (AgentPort* port = overridePort.load(std::memory_order_acquire)) return *port;
  if (AgentPort* port = defaultPort.load(std::memory_order_acquire)) return *port;
  return noAgentPort();
}

void setAgentPort(AgentPort* port) { overridePort.store(port, std::memory_order_release); }

void setDefaultAgentPort(AgentPort* port) { defaultPort.store(port, std::memory_order_release); }

}  // namespace hbconnector::detail
