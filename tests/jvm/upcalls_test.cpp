// The library's calls into the agent, made by connector code while it runs.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hbconnector/connector.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/tracing.hpp"
#include "jvm_harness.hpp"
#include "test_connector.hpp"

namespace hbtest {
namespace {

using Upcalls = AgentTest;

TEST_F(Upcalls, ConfigurationLookupsCutToTheBufferAndSkipNullNames) {
  agent().setConfigProp("Long", "abcdefghijklmnopqrst");
  ASSERT_EQ(start(), 1);
  agent().clearLog();
  struct Seen {
    int cut = -2, nullName = -2, absent = -2;
    std::string cutText, nullText, absentText;
  } seen;
  testconnector::behaviour().onPoll = [&seen] {
    char buffer[8];
    seen.cut = ConnectorBase::getConfigProp("Long", buffer, sizeof buffer);
    seen.cutText = buffer;
    std::memcpy(buffer, "garbage", 8);
    seen.nullName = ConnectorBase::getConfigProp(nullptr, buffer, sizeof buffer);
    seen.nullText = buffer;
    std::memcpy(buffer, "garbage", 8);
    seen.absent = ConnectorBase::getConfigProp("Absent", buffer, sizeof buffer);
    seen.absentText = buffer;
  };
  agent().poll();
  EXPECT_EQ(seen.cut, 7);
  EXPECT_EQ(seen.cutText, "abcdefg");
  EXPECT_EQ(seen.nullName, 0);
  EXPECT_EQ(seen.nullText, "");
  EXPECT_EQ(seen.absent, 0);
  EXPECT_EQ(seen.absentText, "");
  EXPECT_EQ(agent().rows("lookups"),
            (std::vector<Row>{{"getConfigProp", "Long"}, {"getConfigProp", "Absent"}}));
}

TEST_F(Upcalls, ByteArrayLookupsWithAnotherEncoding) {
  agent().setEncoding("UTF-8");
  agent().setConfigProp("Name", "h\xC3\xA9llo w\xC3\xB6rld");
  ASSERT_EQ(start(), 1);
  if (std::string(ConnectorBase::getEncoding()) != "UTF-8") {
    GTEST_SKIP() << "the agent's encoding was fixed earlier in this process";
  }
  agent().clearLog();
  int stored = -2;
  std::string value;
  testconnector::behaviour().onPoll = [&] {
    char buffer[8];
    stored = ConnectorBase::getConfigProp("Name", buffer, sizeof buffer);
    value = buffer;
  };
  agent().poll();
  EXPECT_EQ(stored, 7);
  EXPECT_EQ(value, "h\xC3\xA9llo ");
  EXPECT_EQ(agent().rows("lookups"), (std::vector<Row>{{"getConfigPropI18n", "Name"}}));
}

TEST_F(Upcalls, AgentAnswersReachConnectorCode) {
  ASSERT_EQ(start(), 1);
  struct Seen {
    std::string encoding, locale, collabs, message;
    bool polling = false;
    bool nullMessage = false;
  } seen;
  testconnector::behaviour().onPoll = [&seen] {
    seen.encoding = ConnectorBase::getEncoding();
    seen.locale = ConnectorBase::getLocale();
    std::unique_ptr<StringMessage> names(ConnectorBase::getCollabNames());
    seen.collabs = names != nullptr ? names->getText() : "<null>";
    seen.polling = ConnectorBase::isAgentCapableOfPolling();
    std::unique_ptr<char[]> text(ConnectorBase::generateMsg(5000, MSGTYPE_INFO, 0, 2, "a", "b"));
    seen.message = text != nullptr ? text.get() : "<null>";
    ConnectorBase::generateAndLogMsg(5001, MSGTYPE_ERROR, 1, "p");
  };
  agent().poll();
  EXPECT_EQ(seen.encoding, "ascii7");
  EXPECT_EQ(seen.locale, "en_US");
  EXPECT_EQ(seen.collabs, "");
  EXPECT_TRUE(seen.polling);
  EXPECT_EQ(seen.message, "[5000] (type 4) a,b");
  EXPECT_EQ(messages(5000),
            (std::vector<Row>{{"5000", "4", "<null>", "0", "2", "a,b", "[5000] (type 4) a,b"}}));
  EXPECT_TRUE(logged("[5001] (type 6) p", "6"));
}

TEST_F(Upcalls, DeltaSupportIsOnlyTheExactAnswerTrue) {
  agent().setDeltaSupport("Customer", "true");
  agent().setDeltaSupport("Order", "TRUE");
  agent().setDeltaSupport("Item", nullptr);
  agent().setDeltaSupport("Long", "true but much longer than the answer buffer");
  ASSERT_EQ(start(), 1);
  std::vector<bool> answers;
  testconnector::behaviour().onPoll = [&answers] {
    for (const char* type : {"Customer", "Order", "Item", "Long", "Unknown"}) {
      answers.push_back(ConnectorBase::isDeltaSupported(type));
    }
  };
  agent().poll();
  EXPECT_EQ(answers, (std::vector<bool>{true, false, false, false, false}));
}

TEST_F(Upcalls, EightBitAndSupplementaryTextReachTheAgentAsCharacters) {
  ASSERT_EQ(start(), 1);
  testconnector::behaviour().onPoll = [] {
    ConnectorBase::logMsg("caf\xE9");                 // 8-bit text
    ConnectorBase::logMsg("smile \xF0\x9F\x98\x80");  // four-byte UTF-8
  };
  agent().poll();
  EXPECT_TRUE(logged("caf\xC3\xA9"));
  EXPECT_TRUE(logged("smile \xED\xA0\xBD\xED\xB8\x80"));  // as the VM's modified UTF-8
}

TEST_F(Upcalls, ANullAnswerFromTheAgentIsNoAnswer) {
  ASSERT_EQ(start(), 1);
  agent().setFailing("generateMsg", true);
  bool gotNull = false;
  testconnector::behaviour().onPoll = [&gotNull] {
    char* text = ConnectorBase::generateMsg(5000, MSGTYPE_INFO, 0, 0);
    gotNull = text == nullptr;
    delete[] text;
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(agent().poll(), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(gotNull);
}

}  // namespace
}  // namespace hbtest
