// A restart in one JVM: the kept JNI identifiers are dropped at n_terminate and
// every native and upcall of the second start-up works as in the first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hbconnector/connector.hpp"
#include "jvm_harness.hpp"
#include "verb_connector.hpp"

namespace hbtest {
namespace {

std::string record(bool bytes, const std::string& description) {
  return bytes ? prefixed(split(description)) : bars(description + "|");
}

std::string customer(const std::string& verb, const std::string& values) {
  return "BusinessObject|Customer|1.0.0|false|" + verb + "|en_US|3|" + values;
}

class RestartIds : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    verbconnector::reset();
    previous_ = JToCPPVeneer::getConnector();
    verbconnector::install();
    agent().setConfigProp("ConnectorName", "IdConn");
  }
  void TearDown() override {
    AgentTest::TearDown();
    JToCPPVeneer::setConnector(previous_);
    verbconnector::reset();
  }

  int startVerbConnector() { return agent().init("4.1.0", HB_TEST_VERB_CONNECTOR_LIBRARY); }

  // One round of requests in both forms with tracing on; what the agent saw.
  void requestRound(const std::string& key) {
    agent().clearLog();
    agent().setTraceLevel(3);
    for (bool bytes : {false, true}) {
      SCOPED_TRACE(bytes ? "bytes" : "text");
      const std::string id = key + (bytes ? "b" : "t");
      const Outcome created = send(bytes, customer("Create", id + "|Ann|VqIgnore"));
      EXPECT_EQ(created.status, 1);
      EXPECT_EQ(created.content, record(bytes, customer("Create", id + "|Ann|1")));
      EXPECT_EQ(created.message, "created " + id);
      const Outcome missing = send(bytes, customer("Delete", id + "x|VqIgnore|VqIgnore"));
      EXPECT_EQ(missing.status, -2);
      EXPECT_EQ(missing.message, "missing " + id + "x");
    }
    EXPECT_EQ(traces("Message from Connector").size(), 4u);
    agent().setTraceLevel(0);
  }

  Outcome send(bool bytes, const std::string& description) {
    const std::string content = record(bytes, description);
    return agent().verb(content.data(), content.size(), bytes);
  }

 private:
  ConnectorBase* previous_ = nullptr;
};

TEST_F(RestartIds, EveryUpcallWorksAgainAfterTerminateAndAFreshStart) {
  ASSERT_EQ(startVerbConnector(), 1);
  agent().gotBusObjSpec(specRecord("Customer", "CustId|Name|Revision:Integer"));
  requestRound("A");
  ASSERT_EQ(agent().terminate(), 0);  // the verb connector's own answer

  // Stopped: the requests answer -1 and nothing reaches the agent's status.
  const Outcome stopped = send(false, customer("Create", "Z|Ann|VqIgnore"));
  EXPECT_EQ(stopped.status, -1);
  EXPECT_EQ(stopped.message, std::nullopt);

  for (int restart = 0; restart < 3; ++restart) {
    SCOPED_TRACE(restart);
    ASSERT_EQ(startVerbConnector(), 1);
    requestRound("R" + std::to_string(restart));
    ASSERT_EQ(agent().terminate(), 0);  // the verb connector's own answer
  }
}

}  // namespace
}  // namespace hbtest
