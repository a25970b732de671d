// Verb requests end to end against the table-keeping connector, bucket and
// status checked byte for byte; events from native threads; consumeSync.
#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/return_status.hpp"
#include "jvm_harness.hpp"
#include "verb_connector.hpp"

namespace hbtest {
namespace {

using verbconnector::Throw;
using Table = verbconnector::Row;

// A record from a '|'-separated token list, in the delimited text form (its
// terminating delimiter added) or the length-prefixed byte form.
std::string record(bool bytes, const std::string& description) {
  return bytes ? prefixed(split(description)) : bars(description + "|");
}

// A Customer record by its values: key, name, city, revision.
std::string customer(const std::string& verb, const std::string& values, bool delta = false) {
  return "BusinessObject|Customer|1.0.0|" + std::string(delta ? "true" : "false") + "|" + verb +
         "|en_US|5|" + values + "|VqIgnore";
}

// Customer does not accept deltas, Account does; Orphan has no handler.
class VerbTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    verbconnector::reset();
    previous_ = JToCPPVeneer::getConnector();
    verbconnector::install();
    agent().setConfigProp("ConnectorName", "VerbConn");
    ASSERT_EQ(agent().init("4.1.0", HB_TEST_VERB_CONNECTOR_LIBRARY), 1);
    agent().setDeltaSupport("Customer", "false");
    agent().setDeltaSupport("Account", "true");
    agent().gotBusObjSpec(
        specRecord("Customer", "CustId|Name|City|Revision:Integer|ObjectEventId"));
    agent().gotBusObjSpec(specRecord("Account", "AcctId|Owner|Balance:Double|ObjectEventId"));
    agent().gotBusObjSpec(specRecord("Orphan", "Id|ObjectEventId"));
    agent().clearLog();
  }

  void TearDown() override {
    AgentTest::TearDown();
    JToCPPVeneer::setConnector(previous_);
    verbconnector::reset();
  }

  Outcome send(bool bytes, const std::string& description, bool transactional = false) {
    const std::string content = record(bytes, description);
    return agent().verb(content.data(), content.size(), bytes, transactional);
  }

  // The verbs the handlers saw, as "Verb" or "Verb(delta)", space-separated.
  static std::string seenVerbs() {
    std::string out;
    for (const verbconnector::Call& call : verbconnector::calls()) {
      out += call.verb + (call.delta ? "(delta) " : " ");
    }
    return out;
  }

  // The parameters of the messages of one id.
  std::vector<std::string> params(int id) {
    std::vector<std::string> out;
    for (const Row& row : messages(id)) out.push_back(row.at(5));
    return out;
  }

 private:
  ConnectorBase* previous_ = nullptr;
};

TEST_F(VerbTest, CreateRetrieveUpdateDeleteInBothForms) {
  for (bool bytes : {false, true}) {
    SCOPED_TRACE(bytes ? "bytes" : "text");
    verbconnector::reset();
    // Create: the handler stores the row and stamps revision 1 into the
    // object. The byte form gets exactly the record: no terminating zero.
    Outcome o = send(bytes, customer("Create", "C1|Ann|Paris|VqIgnore"));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.content, record(bytes, customer("Create", "C1|Ann|Paris|1")));
    EXPECT_EQ(o.message, "created C1");
    EXPECT_EQ(verbconnector::table("Customer").at("C1"),
              (Table{{"City", "Paris"}, {"Name", "Ann"}, {"Revision", "1"}}));

    o = send(bytes, customer("Retrieve", "C1|VqIgnore|VqIgnore|VqIgnore"));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.content, record(bytes, customer("Retrieve", "C1|Ann|Paris|1")));
    EXPECT_EQ(o.message, "retrieved C1");

    // An after-image replaces the row; a blank value stays blank. Bytes are
    // neither converted nor inspected: "#", code 3 and an 8-bit byte survive.
    const std::string name = bytes ? "a#b\x03"
                                     "c\xE9"
                                   : "Bea";
    o = send(bytes, customer("Update", "C1|" + name + "|VqBlank|1"));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.content, record(bytes, customer("Update", "C1|" + name + "|VqBlank|2")));
    EXPECT_EQ(o.message, "updated C1");
    EXPECT_EQ(verbconnector::table("Customer").at("C1"),
              (Table{{"City", ""}, {"Name", name}, {"Revision", "2"}}));

    const std::string del = customer("Delete", "C1|VqIgnore|VqIgnore|VqIgnore");
    o = send(bytes, del);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.content, record(bytes, del));
    EXPECT_EQ(o.message, "deleted C1");
    EXPECT_TRUE(verbconnector::table("Customer").empty());

    // A failing verb leaves the bucket exactly as the agent set it, and its
    // message still reaches the agent.
    o = send(bytes, del);
    EXPECT_EQ(o.status, -2);
    EXPECT_EQ(o.content, record(bytes, del));
    EXPECT_EQ(o.message, "missing C1");
    EXPECT_EQ(seenVerbs(), "Create Retrieve Update Delete Delete ");
  }
}

TEST_F(VerbTest, DeltaUpdatesGoStraightThroughOnlyWhereTheAgentSaysTrue) {
  verbconnector::putRow("Customer", "C3", {{"Name", "Ann"}, {"City", "Paris"}, {"Revision", "4"}});
  // Customer: the handler first retrieves, then gets the full after-image,
  // which goes back to the agent no longer a delta.
  Outcome o = send(false, customer("Update", "C3|Cid|VqIgnore|VqIgnore", true));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(seenVerbs(), "Retrieve Update ");
  ASSERT_EQ(verbconnector::calls().size(), 2u);
  EXPECT_EQ(verbconnector::calls()[1].values,
            "CustId=C3;Name=Cid;City=Paris;Revision=4;ObjectEventId=<ignore>;");
  EXPECT_EQ(o.content, record(false, customer("Update", "C3|Cid|Paris|5")));
  EXPECT_EQ(o.message, "updated C3");

  // Account: the delta reaches the handler unchanged.
  verbconnector::reset();
  verbconnector::putRow("Customer", "C3", {{"Name", "Cid"}, {"City", "Paris"}, {"Revision", "5"}});
  verbconnector::putRow("Account", "A1", {{"Owner", "Ann"}, {"Balance", "10"}});
  const std::string delta =
      "BusinessObject|Account|1.0.0|true|Update|en_US|4|A1|VqIgnore|250|VqIgnore";
  o = send(false, delta);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(seenVerbs(), "Update(delta) ");
  EXPECT_EQ(o.content, record(false, delta));
  EXPECT_EQ(o.message, "patched A1");
  EXPECT_EQ(verbconnector::table("Account").at("A1"),
            (Table{{"Balance", "250"}, {"Owner", "Ann"}}));

  o = send(true, customer("Update", "C3|Dan|VqIgnore|5", true));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.content, record(true, customer("Update", "C3|Dan|Paris|6")));
  EXPECT_EQ(seenVerbs(), "Update(delta) Retrieve Update ");
}

TEST_F(VerbTest, OnlyResultsOneAndMinusFiveRewriteTheBucket) {
  verbconnector::putRow("Customer", "C4", {{"Name", "Ann"}});
  const std::string sent = customer("Retrieve", "C4|VqIgnore|VqIgnore|VqIgnore");
  const std::string filled = customer("Retrieve", "C4|Ann|VqIgnore|VqIgnore");
  for (int result : {-5, 0, 2, -1, -6}) {
    for (bool bytes : {false, true}) {
      SCOPED_TRACE(std::to_string(result) + (bytes ? " bytes" : " text"));
      verbconnector::behaviour().result = result;
      const Outcome o = send(bytes, sent);
      EXPECT_EQ(o.status, result);
      EXPECT_EQ(o.content, record(bytes, result == -5 ? filled : sent));
      EXPECT_EQ(o.message, "retrieved C4");
    }
  }
}

TEST_F(VerbTest, TransactionsRunOnlyWhenThePriorImageMatches) {
  verbconnector::putRow("Customer", "C5", {{"Name", "Ann"}, {"City", "Paris"}, {"Revision", "1"}});
  const std::string prior =
      "TransactionBusinessObject|Customer|1.0.0|Update|5|C5|Ann|Paris|1|VqIgnore";
  Outcome o = send(false, customer("Update", "C5|Zed|Rome|1") + "|" + prior, true);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(seenVerbs(), "Retrieve Update ");
  // The handler's revision stamp is copied back; the prior image is written too.
  EXPECT_EQ(o.content, record(false, customer("Update", "C5|Zed|Rome|2") + "|" + prior));
  EXPECT_EQ(o.message, "updated C5");
  EXPECT_EQ(verbconnector::table("Customer").at("C5").at("Name"), "Zed");

  // The application no longer holds the prior image: nothing is updated.
  verbconnector::reset();
  verbconnector::putRow("Customer", "C5", {{"Name", "Bob"}, {"City", "Rome"}, {"Revision", "2"}});
  const std::string stale = customer("Update", "C5|Max|Oslo|1") + "|" + prior;
  o = send(true, stale, true);
  EXPECT_EQ(o.status, -1);
  EXPECT_EQ(seenVerbs(), "Retrieve ");
  EXPECT_EQ(o.content, record(true, stale));
  EXPECT_EQ(params(17116), (std::vector<std::string>{"Customer"}));
  ASSERT_EQ(messages(17117).size(), 1u);
  EXPECT_EQ(messages(17117)[0].at(5), "VerbConn,Customer");
  EXPECT_EQ(o.message, messages(17117)[0].at(6));
  EXPECT_EQ(verbconnector::table("Customer").at("C5").at("Name"), "Bob");
}

TEST_F(VerbTest, Ascii8ConvertsTwoByteSequencesBothWaysButOnlyWhenSpelledExactly) {
  agent().setConfigProp("CharacterEncoding", "ascii8");
  Outcome o = send(false, customer("Create", "C6|Ren\xC3\xA9|Paris|VqIgnore"));
  EXPECT_EQ(o.status, 1);
  ASSERT_EQ(verbconnector::calls().size(), 1u);
  EXPECT_EQ(verbconnector::calls()[0].values,
            "CustId=C6;Name=Ren\xE9;City=Paris;Revision=<ignore>;ObjectEventId=<ignore>;");
  EXPECT_EQ(verbconnector::table("Customer").at("C6").at("Name"), "Ren\xE9");
  EXPECT_EQ(o.content, record(false, customer("Create", "C6|Ren\xC3\xA9|Paris|1")));

  // Every 8-bit byte goes out as a character of its own, even where the bytes
  // form a UTF-8 sequence (C3 A9 is sent as U+00C3 U+00A9).
  const std::pair<const char*, const char*> sentAs[] = {{"Jos\xE9", "Jos\xC3\xA9"},
                                                        {"\xC3\xA9", "\xC3\x83\xC2\xA9"}};
  for (const auto& [stored, sent] : sentAs) {
    verbconnector::putRow("Customer", "C7", {{"Name", stored}});
    o = send(false, customer("Retrieve", "C7|VqIgnore|VqIgnore|VqIgnore"));
    EXPECT_EQ(o.content, record(false, customer("Retrieve",
                                                "C7|" + std::string(sent) + "|VqIgnore|VqIgnore")));
  }

  verbconnector::reset();
  agent().setConfigProp("CharacterEncoding", "ASCII8");
  o = send(false, customer("Create", "C8|Ren\xC3\xA9|Paris|VqIgnore"));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(verbconnector::table("Customer").at("C8").at("Name"), "Ren\xC3\xA9");
  EXPECT_EQ(o.content, record(false, customer("Create", "C8|Ren\xC3\xA9|Paris|1")));
}

TEST_F(VerbTest, TextOfEveryEncodedLengthAndSizeComesThroughByteForByte) {
  // U+00E9, U+20AC, U+0000 (C0 80) and U+1F600 as two surrogates (one 4-byte
  // character to the connector); a text past the kept buffer, then it again.
  const std::string mixed = "R\xC3\xA9n\xE2\x82\xAC\xC0\x80\xED\xA0\xBD\xED\xB8\x80!";
  const std::string seen = "R\xC3\xA9n\xE2\x82\xAC\xC0\x80\xF0\x9F\x98\x80!";
  const std::string padding(400000, 'n');
  const std::pair<std::string, std::string> names[] = {
      {mixed, seen}, {padding + mixed, padding + seen}, {"Ann", "Ann"}, {mixed, seen}};
  for (const auto& [name, connectorSees] : names) {
    SCOPED_TRACE(name.size());
    Outcome o = send(false, customer("Create", "C9|" + name + "|Paris|VqIgnore"));
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.content == record(false, customer("Create", "C9|" + name + "|Paris|1")));
    EXPECT_TRUE(verbconnector::table("Customer").at("C9").at("Name") == connectorSees);
    verbconnector::reset();
  }
}

TEST_F(VerbTest, RecordsOfEverySizeInTurnComeBackWholeInBothForms) {
  // Sizes around the per-thread buffers (a million bytes): each answer is
  // exactly its own record, whatever came before it.
  const std::string big(300000, 'b');
  const std::string huge(1100000, 'h');
  for (bool bytes : {true, false}) {
    SCOPED_TRACE(bytes ? "bytes" : "text");
    for (const std::string& name : {big, std::string("Ann"), huge, std::string("Bo"), big}) {
      SCOPED_TRACE(name.size());
      Outcome o = send(bytes, customer("Create", "C8|" + name + "|Paris|VqIgnore"));
      EXPECT_EQ(o.status, 1);
      EXPECT_TRUE(o.content == record(bytes, customer("Create", "C8|" + name + "|Paris|1")));
      EXPECT_TRUE(verbconnector::table("Customer").at("C8").at("Name") == name);
      verbconnector::reset();
    }
  }
}

TEST_F(VerbTest, SupplementaryCharactersReachTheConnectorAsFourByteUtf8) {
  // "A" and U+1F600: the JVM's form (a surrogate pair) and standard UTF-8.
  const std::string jvmForm = "A\xED\xA0\xBD\xED\xB8\x80";
  const std::string utf8 = "A\xF0\x9F\x98\x80";
  Outcome o = send(false, customer("Create", "C1|" + jvmForm + "|Paris|VqIgnore"));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(verbconnector::table("Customer").at("C1").at("Name"), utf8);
  // Text out is the same Java string that came in.
  EXPECT_EQ(o.content, record(false, customer("Create", "C1|" + jvmForm + "|Paris|1")));
  // The byte form carries the connector's bytes both ways.
  o = send(true, customer("Retrieve", "C1|VqIgnore|VqIgnore|VqIgnore"));
  EXPECT_EQ(o.content, record(true, customer("Retrieve", "C1|" + utf8 + "|Paris|1")));
  o = send(false, customer("Retrieve", "C1|VqIgnore|VqIgnore|VqIgnore"));
  EXPECT_EQ(o.content, record(false, customer("Retrieve", "C1|" + jvmForm + "|Paris|1")));

  // A surrogate without its partner reaches the connector as its three bytes
  // and goes back as the same Java string; U+0000 stays C0 80 both ways.
  o = send(false, customer("Create", "C2|x\xED\xB8\x80y\xED\xA0\xBD|\xC0\x80z|VqIgnore"));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(verbconnector::table("Customer").at("C2").at("Name"), "x\xED\xB8\x80y\xED\xA0\xBD");
  EXPECT_EQ(verbconnector::table("Customer").at("C2").at("City"), "\xC0\x80z");
  o = send(false, customer("Retrieve", "C2|VqIgnore|VqIgnore|VqIgnore"));
  EXPECT_EQ(o.content,
            record(false, customer("Retrieve", "C2|x\xED\xB8\x80y\xED\xA0\xBD|\xC0\x80z|1")));
}

TEST_F(VerbTest, ThrowingConnectorsGiveMinusOneAMessageAndAnUntouchedBucket) {
  verbconnector::putRow("Customer", "C9", {{"Name", "Ann"}});
  const std::string sent = customer("Retrieve", "C9|VqIgnore|VqIgnore|VqIgnore");
  struct Case {
    Throw toThrow;
    int thrownInt;
    int id;
    std::string param;
    std::string logged;  // the exception's own log line beside 80401, if any
  };
  const Case cases[] = {
      {Throw::kInt, 7, 80402, "7", ""},
      {Throw::kInt, -1, 80402, "4294967295", ""},
      {Throw::kCharPointer, 0, 80403, "table is locked", ""},
      {Throw::kConstCharPointer, 0, 80403, "table is gone", ""},
      {Throw::kOther, 0, 80401, "DoVerbFor",
       "Exception in connector code (DoVerbFor): an exception that is neither a std::exception "
       "nor a text"},
      {Throw::kStdException, 0, 80401, "DoVerbFor",
       "Exception in connector code (DoVerbFor): disk full"},
      {Throw::kStdString, 0, 80401, "DoVerbFor",
       "Exception in connector code (DoVerbFor): quota exceeded"},
  };
  for (const Case& c : cases) {
    for (bool bytes : {false, true}) {
      SCOPED_TRACE(c.param + (bytes ? " bytes" : " text"));
      agent().clearLog();
      verbconnector::behaviour().toThrow = c.toThrow;
      verbconnector::behaviour().thrownInt = c.thrownInt;
      const Outcome o = send(bytes, sent);
      EXPECT_EQ(o.status, -1);
      EXPECT_EQ(o.content, record(bytes, sent));
      // A message set before the throw does not reach the agent.
      EXPECT_EQ(o.message, std::nullopt);
      const std::vector<Row> composed = messages(c.id);
      ASSERT_EQ(composed.size(), 1u);
      EXPECT_EQ(composed[0],
                (Row{std::to_string(c.id), "6", "<null>", "1", "1", c.param, composed[0].at(6)}));
      // The message is composed only; the exception's text is logged beside it.
      if (c.logged.empty()) {
        EXPECT_TRUE(agent().rows("logs").empty());
      } else {
        EXPECT_EQ(agent().rows("logs"), (std::vector<Row>{{c.logged, "6"}}));
      }
    }
  }
}

TEST_F(VerbTest, UnknownTypesMissingHandlersBadInputAndNoConnectorAnswerMinusOne) {
  const std::string records[] = {
      "BusinessObject|Nope|1.0.0|false|Create|en_US|1|X",
      "BusinessObject|Orphan|1.0.0|false|Create|en_US|2|O1|VqIgnore",
      "BusinessObject|Customer|1.0.0|false|Create|en_US|2|C1|VqIgnore",  // wrong count
      "Garbage",
  };
  for (const std::string& r : records) {
    for (bool transactional : {false, true}) {
      for (bool bytes : {false, true}) {
        SCOPED_TRACE(r);
        const Outcome o = send(bytes, r, transactional);
        EXPECT_EQ(o.status, -1);
        EXPECT_EQ(o.content, record(bytes, r));
      }
    }
  }
  EXPECT_EQ(params(64).front(), "1.0.0,Nope");
  EXPECT_TRUE(verbconnector::calls().empty());

  // A length field running past the end, an empty array, and empty buckets.
  EXPECT_EQ(
      agent().byteVerb("e#BusinessObject8#Customer5#1.0.05#false6#Create5#en_US1#5ff#C1").status,
      -1);
  EXPECT_EQ(agent().byteVerb("").status, -1);
  EXPECT_EQ(agent().verb(nullptr, 0, true).status, -1);
  Outcome o = agent().verb(nullptr, 0, false);
  EXPECT_EQ(o.status, -1);
  EXPECT_EQ(o.content, std::nullopt);
  EXPECT_EQ(o.message, std::nullopt);

  // Without a running connector a sound request is refused too.
  ASSERT_EQ(agent().terminate(), 0);
  const std::string create = customer("Create", "C1|Ann|Paris|VqIgnore");
  for (bool bytes : {false, true}) {
    o = send(bytes, create);
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.content, record(bytes, create));
  }
  EXPECT_TRUE(verbconnector::calls().empty());
}

TEST_F(VerbTest, StatusMessageIsTracedAndAFailingLookupDoesNotStopTheRequest) {
  agent().setTraceLevel(3);
  Outcome o = send(false, customer("Create", "C1|Ann|Paris|VqIgnore"));
  EXPECT_EQ(o.message, "created C1");
  EXPECT_EQ(
      traces("Message from Connector"),
      (std::vector<Row>{{"VerbConn", "3", ",", "Message from Connector created C1", "<null>"}}));

  agent().setFailing("getConfigProp", true);
  o = send(false, customer("Create", "C2|Ann|Paris|VqIgnore"));
  agent().setFailing("getConfigProp", false);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.content, record(false, customer("Create", "C2|Ann|Paris|1")));
  EXPECT_EQ(o.message, "created C2");
}

TEST_F(VerbTest, EventsFromNativeThreadsGetIdsAndFollowSubscriptions) {
  agent().setting("setEventAnswer", "(I)" HB_SETTINGS, {{.i = 5}});
  ASSERT_EQ(agent().subscribeTo("Customer", "Create", 0), 0);
  agent().clearLog();

  std::string id;
  EXPECT_EQ(verbconnector::publishFromThread("Customer", "C1", "Create", nullptr, &id), 5);
  EXPECT_TRUE(std::regex_match(id, std::regex("VerbConn_[0-9]+_0_[0-9a-f]+"))) << id;
  std::vector<Row> events = agent().rows("events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at(0),
            record(false,
                   "BusinessObject|Customer|1.0.0|false|Create|en_US|5|C1|VqIgnore|"
                   "VqIgnore|VqIgnore|" +
                       id));

  EXPECT_EQ(verbconnector::publishFromThread("Customer", "C2", "Create", "given-7", &id), 5);
  EXPECT_EQ(id, "given-7");
  events = agent().rows("events");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NE(events[1].at(0).find(bars("|C2|VqIgnore|VqIgnore|VqIgnore|given-7|")),
            std::string::npos);

  // Nobody subscribes to Customer updates: no call reaches the agent.
  EXPECT_EQ(verbconnector::publishFromThread("Customer", "C3", "Update", nullptr, &id), -10);
  EXPECT_EQ(verbconnector::publishFromThread("Customer", "C3", "Update", "given-8", &id), -10);
  EXPECT_EQ(agent().rows("events").size(), 2u);
  EXPECT_EQ(params(80008), (std::vector<std::string>{"Customer,Update", "Customer,Update"}));
}

TEST_F(VerbTest, SynchronousRequestsTakeTheAgentsAnswer) {
  const std::string answer = record(false, customer("Retrieve", "C1|Zoe|Oslo|3"));
  agent().setting("setConsumeSyncReply", "(" HB_STR HB_STR ")" HB_SETTINGS,
                  {S(answer.c_str()), S(bars("ReturnStatusDescriptor|1|done|", '\x04').c_str())});
  BusinessObject bo("Customer");
  bo.setAttrValue(0, const_cast<char*>("C1"), STRING);
  bo.setVerb("Retrieve");
  ReturnStatusDescriptor status(-7, "asked");
  JToCPPVeneer::getVeneer()->consumeSync("Collab", bo, &status);
  EXPECT_EQ(agent().rows("syncCalls"),
            (std::vector<Row>{{"Collab",
                               record(false, customer("Retrieve", "C1|VqIgnore|VqIgnore|VqIgnore")),
                               bars("ReturnStatusDescriptor|-7|asked|", '\x04')}}));
  EXPECT_EQ(status.getStatus(), 1);
  EXPECT_STREQ(status.getErrorString(), "done");
  EXPECT_STREQ(static_cast<const char*>(bo.getAttrValue("Name")), "Zoe");
  EXPECT_STREQ(static_cast<const char*>(bo.getAttrValue("Revision")), "3");
}

}  // namespace
}  // namespace hbtest
