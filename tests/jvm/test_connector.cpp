#include "test_connector.hpp"

#include <stdexcept>

#include "hbconnector/connector.hpp"
#include "hbconnector/version.hpp"
#include "hbconnector/version_stamp.hpp"

HB_FRAMEWORK_VERSION("4.1.0");

namespace testconnector {
namespace {

Behaviour theBehaviour;
Calls theCalls;

class TestConnector : public ConnectorBase {
 public:
  BOHandlerBase* getBOHandlerForBO(const char*) override { return nullptr; }
  int init(Version* version) override {
    ++theCalls.init;
    theCalls.initVersion = version != nullptr ? version->toString() : "<null>";
    if (theBehaviour.throwOnInit) throw std::runtime_error("init failed");
    return theBehaviour.initResult;
  }
  int pollForEvents() override {
    ++theCalls.poll;
    if (theBehaviour.throwOnPoll) throw 42;
    if (theBehaviour.onPoll) theBehaviour.onPoll();
    return theBehaviour.pollResult;
  }
  int terminate() override {
    ++theCalls.terminate;
    if (theBehaviour.throwOnTerminate) throw "terminate failed";
    return theBehaviour.terminateResult;
  }
  const char* getVersion() override {
    if (theBehaviour.throwOnGetVersion) throw std::logic_error("no version");
    return theBehaviour.version;
  }
  void suspend() override {
    ++theCalls.suspend;
    if (theBehaviour.throwOnSuspend) throw 1;
  }
  void resume() override {
    ++theCalls.resume;
    if (theBehaviour.throwOnResume) throw 2.5;
  }
};

TestConnector theConnector;

}  // namespace

void reset() {
  theBehaviour = Behaviour();
  theCalls = Calls();
}

Behaviour& behaviour() { return theBehaviour; }
const Calls& calls() { return theCalls; }

}  // namespace testconnector
