// Verb requests end to end: specs announced by the stand-in agent, business
// objects sent through n_DoVerbFor and n_DoVerbForI18n to a connector whose
// handlers keep an in-memory table, and the bucket and the agent's status
// object checked byte for byte afterwards. Also application events published
// from native threads, and a rough timing of one verb round trip.
#include <gtest/gtest.h>
#include <jni.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "hbconnector/connector.hpp"
#include "jvm_harness.hpp"
#include "verb_connector.hpp"

namespace hbtest {
namespace {

// ---- record texts written by hand -------------------------------------------

// text with every '|' replaced by the delimiter of business object records.
std::string bars(std::string text) {
  for (char& c : text) {
    if (c == '|') c = '\x03';
  }
  return text;
}

// Each token as its lowercase hexadecimal byte length, "#", then its bytes.
std::string prefixed(const std::vector<std::string>& tokens) {
  std::string text;
  for (const std::string& token : tokens) {
    char length[32];
    std::snprintf(length, sizeof length, "%zx#", token.size());
    text += length;
    text += token;
  }
  return text;
}

// The tokens of a '|'-separated description ("a|b|c" gives a, b, c).
std::vector<std::string> tokens(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('|', start);
    out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return out;
    start = end + 1;
  }
}

// A business object record in the delimited encoding from a '|'-separated
// token list (the record's own terminating delimiter added).
std::string textRecord(const std::string& description) { return bars(description + "|"); }
// The same record in the length-prefixed encoding.
std::string byteRecord(const std::string& description) { return prefixed(tokens(description)); }

constexpr char kEmpty[] = "\x05";

struct AttrDef {
  std::string name;
  std::string typeName;
  bool key = false;
};

// A specification record (always length-prefixed) with the four usual verbs.
std::string specRecord(const std::string& name, const std::vector<AttrDef>& attrs) {
  std::vector<std::string> t = {"BusObjSpec", name, "1.0.0", kEmpty, std::to_string(attrs.size()),
                                "4"};
  for (const AttrDef& a : attrs) {
    const std::vector<std::string> entry = {a.name,  a.typeName, a.key ? "true" : "false",
                                            "false", "false",    kEmpty,
                                            "255",   kEmpty,     "1.0.0",
                                            "1",     "null",     "true"};
    t.insert(t.end(), entry.begin(), entry.end());
  }
  for (const char* verb : {"Create", "Retrieve", "Update", "Delete"}) {
    t.push_back(verb);
    t.push_back(kEmpty);
  }
  return prefixed(t);
}

// ---- calling the natives ----------------------------------------------------

struct Outcome {
  int status = 0;
  // The bucket's content afterwards (text or bytes); nullopt when it holds none.
  std::optional<std::string> content;
  // What the agent's status object received; nullopt when nothing.
  std::optional<std::string> message;
};

class LocalFrame {
 public:
  LocalFrame() : env_(jniEnv()) { env_->PushLocalFrame(32); }
  ~LocalFrame() { env_->PopLocalFrame(nullptr); }
  JNIEnv* env() const { return env_; }

 private:
  JNIEnv* env_;
};

std::optional<std::string> javaText(JNIEnv* env, jobject value) {
  if (value == nullptr) return std::nullopt;
  const char* chars = env->GetStringUTFChars(static_cast<jstring>(value), nullptr);
  std::string out(chars);
  env->ReleaseStringUTFChars(static_cast<jstring>(value), chars);
  return out;
}

std::optional<std::string> javaBytes(JNIEnv* env, jobject value) {
  if (value == nullptr) return std::nullopt;
  auto array = static_cast<jbyteArray>(value);
  std::string out(static_cast<std::size_t>(env->GetArrayLength(array)), '\0');
  env->GetByteArrayRegion(array, 0, static_cast<jsize>(out.size()),
                          reinterpret_cast<jbyte*>(out.data()));
  return out;
}

// One verb request through n_DoVerbFor (bytes false: content is the text of
// a Java string given in modified UTF-8) or n_DoVerbForI18n (bytes true:
// content is the array's bytes). A null content leaves the bucket empty.
Outcome request(jobject agent, const char* content, std::size_t length, bool bytes,
                bool transactional) {
  LocalFrame frame;
  JNIEnv* env = frame.env();
  jclass bucketClass = env->FindClass("AppSide_Connector/StringBucket");
  jobject bucket = env->NewObject(bucketClass, env->GetMethodID(bucketClass, "<init>", "()V"));
  jfieldID field = bytes ? env->GetFieldID(bucketClass, "contentinArray", "[B")
                         : env->GetFieldID(bucketClass, "content", "Ljava/lang/String;");
  if (content != nullptr) {
    if (bytes) {
      jbyteArray array = env->NewByteArray(static_cast<jsize>(length));
      env->SetByteArrayRegion(array, 0, static_cast<jsize>(length),
                              reinterpret_cast<const jbyte*>(content));
      env->SetObjectField(bucket, field, array);
    } else {
      env->SetObjectField(bucket, field, env->NewStringUTF(content));
    }
  }
  jclass statusClass = env->FindClass("VqCommon/ReturnStatusDescriptor");
  jobject status = env->NewObject(statusClass, env->GetMethodID(statusClass, "<init>", "()V"));
  jclass agentClass = env->GetObjectClass(agent);
  jmethodID method =
      env->GetMethodID(agentClass, bytes ? "n_DoVerbForI18n" : "n_DoVerbFor",
                       "(LAppSide_Connector/StringBucket;ZLVqCommon/ReturnStatusDescriptor;)I");
  Outcome outcome;
  outcome.status =
      env->CallIntMethod(agent, method, bucket, transactional ? JNI_TRUE : JNI_FALSE, status);
  EXPECT_FALSE(env->ExceptionCheck()) << "a Java exception escaped the native method";
  env->ExceptionClear();
  jobject after = env->GetObjectField(bucket, field);
  outcome.content = bytes ? javaBytes(env, after) : javaText(env, after);
  jobject message = env->CallObjectMethod(
      status, env->GetMethodID(statusClass, "getErrorString", "()Ljava/lang/String;"));
  EXPECT_FALSE(env->ExceptionCheck());
  outcome.message = javaText(env, message);
  return outcome;
}

Outcome textVerb(jobject agent, const std::string& content, bool transactional = false) {
  return request(agent, content.c_str(), content.size(), false, transactional);
}

Outcome byteVerb(jobject agent, const std::string& content, bool transactional = false) {
  return request(agent, content.data(), content.size(), true, transactional);
}

// Calls a settings method of the form (String, String) or (String) or (int)
// returning the settings object.
void settings(jobject agent, const char* method, const char* signature, ...) {
  LocalFrame frame;
  JNIEnv* env = frame.env();
  jclass agentClass = env->GetObjectClass(agent);
  jobject object = env->CallObjectMethod(
      agent, env->GetMethodID(agentClass, "settings", "()LAppSide_Connector/AgentSettings;"));
  ASSERT_FALSE(env->ExceptionCheck());
  va_list args;
  va_start(args, signature);
  env->CallObjectMethodV(object, env->GetMethodID(env->GetObjectClass(object), method, signature),
                         args);
  va_end(args);
  ASSERT_FALSE(env->ExceptionCheck());
}

void setDeltaSupport(jobject agent, const char* type, const char* answer) {
  LocalFrame frame;
  settings(agent, "setDeltaSupport",
           "(Ljava/lang/String;Ljava/lang/String;)LAppSide_Connector/AgentSettings;",
           frame.env()->NewStringUTF(type), frame.env()->NewStringUTF(answer));
}

void setEventAnswer(jobject agent, int answer) {
  settings(agent, "setEventAnswer", "(I)LAppSide_Connector/AgentSettings;", answer);
}

// ---- the fixture --------------------------------------------------------------

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
    setDeltaSupport(object(), "Customer", "false");
    setDeltaSupport(object(), "Account", "true");
    announce("Customer", {{"CustId", "String", true},
                          {"Name", "String"},
                          {"City", "String"},
                          {"Revision", "Integer"},
                          {"ObjectEventId", "String"}});
    announce("Account", {{"AcctId", "String", true},
                         {"Owner", "String"},
                         {"Balance", "Double"},
                         {"ObjectEventId", "String"}});
    announce("Orphan", {{"Id", "String", true}, {"ObjectEventId", "String"}});
    agent().clearLog();
  }

  void TearDown() override {
    AgentTest::TearDown();
    JToCPPVeneer::setConnector(previous_);
    verbconnector::reset();
  }

  jobject object() { return agent().object(); }

  void announce(const std::string& name, const std::vector<AttrDef>& attrs) {
    agent().gotBusObjSpec(specRecord(name, attrs).c_str());
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

// Customer records by their values: key, name, city, revision.
std::string customer(const std::string& verb, const std::string& values, bool delta = false) {
  return "BusinessObject|Customer|1.0.0|" + std::string(delta ? "true" : "false") + "|" + verb +
         "|en_US|5|" + values + "|VqIgnore";
}

TEST_F(VerbTest, CreateRetrieveUpdateDeleteInTextForm) {
  // Create: the handler stores the row and stamps revision 1 into the object.
  Outcome created = textVerb(object(), textRecord(customer("Create", "C1|Ann|Paris|VqIgnore")));
  EXPECT_EQ(created.status, 1);
  EXPECT_EQ(created.content, textRecord(customer("Create", "C1|Ann|Paris|1")));
  EXPECT_EQ(created.message, "created C1");
  EXPECT_EQ(verbconnector::table("Customer").at("C1"),
            (verbconnector::Row{{"City", "Paris"}, {"Name", "Ann"}, {"Revision", "1"}}));

  Outcome retrieved =
      textVerb(object(), textRecord(customer("Retrieve", "C1|VqIgnore|VqIgnore|VqIgnore")));
  EXPECT_EQ(retrieved.status, 1);
  EXPECT_EQ(retrieved.content, textRecord(customer("Retrieve", "C1|Ann|Paris|1")));
  EXPECT_EQ(retrieved.message, "retrieved C1");

  // An after-image replaces the row; a blank value stays blank.
  Outcome updated = textVerb(object(), textRecord(customer("Update", "C1|Bea|VqBlank|1")));
  EXPECT_EQ(updated.status, 1);
  EXPECT_EQ(updated.content, textRecord(customer("Update", "C1|Bea|VqBlank|2")));
  EXPECT_EQ(updated.message, "updated C1");
  EXPECT_EQ(verbconnector::table("Customer").at("C1"),
            (verbconnector::Row{{"City", ""}, {"Name", "Bea"}, {"Revision", "2"}}));

  Outcome deleted =
      textVerb(object(), textRecord(customer("Delete", "C1|VqIgnore|VqIgnore|VqIgnore")));
  EXPECT_EQ(deleted.status, 1);
  EXPECT_EQ(deleted.content, textRecord(customer("Delete", "C1|VqIgnore|VqIgnore|VqIgnore")));
  EXPECT_EQ(deleted.message, "deleted C1");
  EXPECT_TRUE(verbconnector::table("Customer").empty());

  // A failing verb leaves the bucket exactly as the agent set it, and its
  // message still reaches the agent.
  const std::string missing = textRecord(customer("Retrieve", "C1|VqIgnore|VqIgnore|VqIgnore"));
  Outcome failed = textVerb(object(), missing);
  EXPECT_EQ(failed.status, -2);
  EXPECT_EQ(failed.content, missing);
  EXPECT_EQ(failed.message, "missing C1");
  EXPECT_EQ(seenVerbs(), "Create Retrieve Update Delete Retrieve ");
}

TEST_F(VerbTest, CreateRetrieveUpdateDeleteInByteArrayForm) {
  Outcome created = byteVerb(object(), byteRecord(customer("Create", "C2|Ann|Paris|VqIgnore")));
  EXPECT_EQ(created.status, 1);
  // Exactly the record: no terminating zero byte.
  EXPECT_EQ(created.content, byteRecord(customer("Create", "C2|Ann|Paris|1")));
  EXPECT_EQ(created.message, "created C2");

  Outcome retrieved =
      byteVerb(object(), byteRecord(customer("Retrieve", "C2|VqIgnore|VqIgnore|VqIgnore")));
  EXPECT_EQ(retrieved.status, 1);
  EXPECT_EQ(retrieved.content, byteRecord(customer("Retrieve", "C2|Ann|Paris|1")));

  // Bytes are neither converted nor inspected: "#", code 3 and an 8-bit
  // byte survive in a value.
  const std::string odd =
      "a#b\x03"
      "c\xE9";
  Outcome updated = byteVerb(object(), byteRecord(customer("Update", "C2|" + odd + "|Rome|1")));
  EXPECT_EQ(updated.status, 1);
  EXPECT_EQ(updated.content, byteRecord(customer("Update", "C2|" + odd + "|Rome|2")));
  EXPECT_EQ(verbconnector::table("Customer").at("C2").at("Name"), odd);

  Outcome deleted =
      byteVerb(object(), byteRecord(customer("Delete", "C2|VqIgnore|VqIgnore|VqIgnore")));
  EXPECT_EQ(deleted.status, 1);
  EXPECT_EQ(deleted.message, "deleted C2");

  const std::string missing = byteRecord(customer("Delete", "C2|VqIgnore|VqIgnore|VqIgnore"));
  Outcome failed = byteVerb(object(), missing);
  EXPECT_EQ(failed.status, -2);
  EXPECT_EQ(failed.content, missing);
  EXPECT_EQ(failed.message, "missing C2");
}

TEST_F(VerbTest, DeltaUpdatesGoStraightThroughOnlyWhereTheAgentSaysTrue) {
  verbconnector::putRow("Customer", "C3", {{"Name", "Ann"}, {"City", "Paris"}, {"Revision", "4"}});
  verbconnector::putRow("Account", "A1", {{"Owner", "Ann"}, {"Balance", "10"}});

  // Customer: the handler first retrieves, then gets the full after-image.
  Outcome emulated =
      textVerb(object(), textRecord(customer("Update", "C3|Cid|VqIgnore|VqIgnore", true)));
  EXPECT_EQ(emulated.status, 1);
  EXPECT_EQ(seenVerbs(), "Retrieve Update ");
  ASSERT_EQ(verbconnector::calls().size(), 2u);
  EXPECT_EQ(verbconnector::calls()[1].values,
            "CustId=C3;Name=Cid;City=Paris;Revision=4;ObjectEventId=<ignore>;");
  // The full image, no longer a delta, goes back to the agent.
  EXPECT_EQ(emulated.content, textRecord(customer("Update", "C3|Cid|Paris|5")));
  EXPECT_EQ(emulated.message, "updated C3");

  // Account: the delta reaches the handler unchanged, in both forms.
  verbconnector::reset();
  verbconnector::putRow("Customer", "C3", {{"Name", "Cid"}, {"City", "Paris"}, {"Revision", "5"}});
  verbconnector::putRow("Account", "A1", {{"Owner", "Ann"}, {"Balance", "10"}});
  const std::string delta =
      "BusinessObject|Account|1.0.0|true|Update|en_US|4|A1|VqIgnore|250|VqIgnore";
  Outcome text = textVerb(object(), textRecord(delta));
  EXPECT_EQ(text.status, 1);
  EXPECT_EQ(seenVerbs(), "Update(delta) ");
  EXPECT_EQ(text.content, textRecord(delta));
  EXPECT_EQ(text.message, "patched A1");
  EXPECT_EQ(verbconnector::table("Account").at("A1"),
            (verbconnector::Row{{"Balance", "250"}, {"Owner", "Ann"}}));

  Outcome bytes = byteVerb(object(), byteRecord(customer("Update", "C3|Dan|VqIgnore|5", true)));
  EXPECT_EQ(bytes.status, 1);
  EXPECT_EQ(bytes.content, byteRecord(customer("Update", "C3|Dan|Paris|6")));
  EXPECT_EQ(seenVerbs(), "Update(delta) Retrieve Update ");
}

TEST_F(VerbTest, OnlyResultsOneAndMinusFiveRewriteTheBucket) {
  verbconnector::putRow("Customer", "C4", {{"Name", "Ann"}});
  const std::string sent = customer("Retrieve", "C4|VqIgnore|VqIgnore|VqIgnore");
  const std::string filled = customer("Retrieve", "C4|Ann|VqIgnore|VqIgnore");
  verbconnector::behaviour().result = -5;
  Outcome warned = textVerb(object(), textRecord(sent));
  EXPECT_EQ(warned.status, -5);
  EXPECT_EQ(warned.content, textRecord(filled));
  Outcome warnedBytes = byteVerb(object(), byteRecord(sent));
  EXPECT_EQ(warnedBytes.status, -5);
  EXPECT_EQ(warnedBytes.content, byteRecord(filled));

  for (int result : {0, 2, -1, -6}) {
    verbconnector::behaviour().result = result;
    Outcome kept = textVerb(object(), textRecord(sent));
    EXPECT_EQ(kept.status, result);
    EXPECT_EQ(kept.content, textRecord(sent)) << result;
    EXPECT_EQ(kept.message, "retrieved C4");
    Outcome keptBytes = byteVerb(object(), byteRecord(sent));
    EXPECT_EQ(keptBytes.content, byteRecord(sent)) << result;
  }
}

TEST_F(VerbTest, TransactionsRunOnlyWhenThePriorImageMatches) {
  verbconnector::putRow("Customer", "C5", {{"Name", "Ann"}, {"City", "Paris"}, {"Revision", "1"}});
  const std::string prior =
      "TransactionBusinessObject|Customer|1.0.0|Update|5|C5|Ann|Paris|1|VqIgnore";
  Outcome done =
      textVerb(object(), textRecord(customer("Update", "C5|Zed|Rome|1") + "|" + prior), true);
  EXPECT_EQ(done.status, 1);
  EXPECT_EQ(seenVerbs(), "Retrieve Update ");
  // The handler's revision stamp is copied back; the prior image is written too.
  EXPECT_EQ(done.content, textRecord(customer("Update", "C5|Zed|Rome|2") + "|" + prior));
  EXPECT_EQ(done.message, "updated C5");
  EXPECT_EQ(verbconnector::table("Customer").at("C5").at("Name"), "Zed");

  // The application no longer holds the prior image: nothing is updated.
  verbconnector::reset();
  verbconnector::putRow("Customer", "C5", {{"Name", "Bob"}, {"City", "Rome"}, {"Revision", "2"}});
  const std::string stale = byteRecord(customer("Update", "C5|Max|Oslo|1") + "|" + prior);
  Outcome refused = byteVerb(object(), stale, true);
  EXPECT_EQ(refused.status, -1);
  EXPECT_EQ(seenVerbs(), "Retrieve ");
  EXPECT_EQ(refused.content, stale);
  EXPECT_EQ(params(17116), (std::vector<std::string>{"Customer"}));
  ASSERT_EQ(messages(17117).size(), 1u);
  EXPECT_EQ(messages(17117)[0].at(5), "VerbConn,Customer");
  EXPECT_EQ(refused.message, messages(17117)[0].at(6));
  EXPECT_EQ(verbconnector::table("Customer").at("C5").at("Name"), "Bob");
}

TEST_F(VerbTest, Ascii8ConvertsTwoByteSequencesBothWaysButOnlyWhenSpelledExactly) {
  agent().setConfigProp("CharacterEncoding", "ascii8");
  Outcome created =
      textVerb(object(), textRecord(customer("Create", "C6|Ren\xC3\xA9|Paris|VqIgnore")));
  EXPECT_EQ(created.status, 1);
  ASSERT_EQ(verbconnector::calls().size(), 1u);
  EXPECT_EQ(verbconnector::calls()[0].values,
            "CustId=C6;Name=Ren\xE9;City=Paris;Revision=<ignore>;ObjectEventId=<ignore>;");
  EXPECT_EQ(verbconnector::table("Customer").at("C6").at("Name"), "Ren\xE9");
  EXPECT_EQ(created.content, textRecord(customer("Create", "C6|Ren\xC3\xA9|Paris|1")));

  // An 8-bit value from the application goes out as its two-byte sequence.
  verbconnector::putRow("Customer", "C7", {{"Name", "Jos\xE9"}});
  Outcome retrieved =
      textVerb(object(), textRecord(customer("Retrieve", "C7|VqIgnore|VqIgnore|VqIgnore")));
  EXPECT_EQ(retrieved.content,
            textRecord(customer("Retrieve", "C7|Jos\xC3\xA9|VqIgnore|VqIgnore")));

  // Every 8-bit byte is a character of its own, even where the bytes
  // happen to form a UTF-8 sequence: C3 A9 is sent as the two characters
  // U+00C3 U+00A9.
  verbconnector::putRow("Customer", "C9", {{"Name", "\xC3\xA9"}});
  Outcome pair =
      textVerb(object(), textRecord(customer("Retrieve", "C9|VqIgnore|VqIgnore|VqIgnore")));
  EXPECT_EQ(pair.content,
            textRecord(customer("Retrieve", "C9|\xC3\x83\xC2\xA9|VqIgnore|VqIgnore")));

  verbconnector::reset();
  agent().setConfigProp("CharacterEncoding", "ASCII8");
  Outcome plain =
      textVerb(object(), textRecord(customer("Create", "C8|Ren\xC3\xA9|Paris|VqIgnore")));
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(verbconnector::table("Customer").at("C8").at("Name"), "Ren\xC3\xA9");
  EXPECT_EQ(plain.content, textRecord(customer("Create", "C8|Ren\xC3\xA9|Paris|1")));
}

TEST_F(VerbTest, ThrowingConnectorsGiveMinusOneAMessageAndAnUntouchedBucket) {
  verbconnector::putRow("Customer", "C9", {{"Name", "Ann"}});
  const std::string sent = customer("Retrieve", "C9|VqIgnore|VqIgnore|VqIgnore");
  struct Case {
    verbconnector::Throw toThrow;
    int thrownInt;
    int id;
    std::string param;
  };
  const std::vector<Case> cases = {
      {verbconnector::Throw::kInt, 7, 80402, "7"},
      {verbconnector::Throw::kInt, -1, 80402, "4294967295"},
      {verbconnector::Throw::kCharPointer, 0, 80403, "table is locked"},
      {verbconnector::Throw::kConstCharPointer, 0, 80403, "table is gone"},
      {verbconnector::Throw::kOther, 0, 80401, "DoVerbFor"},
  };
  for (const Case& c : cases) {
    for (bool bytes : {false, true}) {
      agent().clearLog();
      verbconnector::behaviour().toThrow = c.toThrow;
      verbconnector::behaviour().thrownInt = c.thrownInt;
      const std::string content = bytes ? byteRecord(sent) : textRecord(sent);
      Outcome outcome = bytes ? byteVerb(object(), content) : textVerb(object(), content);
      EXPECT_EQ(outcome.status, -1) << c.param;
      EXPECT_EQ(outcome.content, content);
      // A message set before the throw does not reach the agent.
      EXPECT_EQ(outcome.message, std::nullopt);
      const std::vector<Row> composed = messages(c.id);
      ASSERT_EQ(composed.size(), 1u) << c.param;
      EXPECT_EQ(composed[0],
                (Row{std::to_string(c.id), "6", "<null>", "1", "1", c.param, composed[0].at(6)}));
      // Composed only: nothing is logged.
      EXPECT_TRUE(agent().rows("logs").empty());
    }
  }
}

TEST_F(VerbTest, UnknownTypesMissingHandlersAndBadInputAnswerMinusOne) {
  const std::vector<std::string> records = {
      "BusinessObject|Nope|1.0.0|false|Create|en_US|1|X",
      "BusinessObject|Orphan|1.0.0|false|Create|en_US|2|O1|VqIgnore",
      "BusinessObject|Customer|1.0.0|false|Create|en_US|2|C1|VqIgnore",  // wrong count
      "Garbage",
  };
  for (const std::string& record : records) {
    for (bool transactional : {false, true}) {
      Outcome text = textVerb(object(), textRecord(record), transactional);
      EXPECT_EQ(text.status, -1) << record;
      EXPECT_EQ(text.content, textRecord(record));
      Outcome bytes = byteVerb(object(), byteRecord(record), transactional);
      EXPECT_EQ(bytes.status, -1) << record;
      EXPECT_EQ(bytes.content, byteRecord(record));
    }
  }
  EXPECT_EQ(params(64).front(), "1.0.0,Nope");
  EXPECT_TRUE(verbconnector::calls().empty());

  // A length field running past the end, an empty array, and empty buckets.
  const std::string cut = "e#BusinessObject8#Customer5#1.0.05#false6#Create5#en_US1#5ff#C1";
  EXPECT_EQ(byteVerb(object(), cut).status, -1);
  EXPECT_EQ(byteVerb(object(), "").status, -1);
  EXPECT_EQ(request(object(), nullptr, 0, true, false).status, -1);
  Outcome none = request(object(), nullptr, 0, false, false);
  EXPECT_EQ(none.status, -1);
  EXPECT_EQ(none.content, std::nullopt);
  EXPECT_EQ(none.message, std::nullopt);
}

TEST_F(VerbTest, VerbRequestsWithoutARunningConnectorAnswerMinusOne) {
  ASSERT_EQ(agent().terminate(), 0);
  const std::string sent = textRecord(customer("Create", "C1|Ann|Paris|VqIgnore"));
  Outcome outcome = textVerb(object(), sent);
  EXPECT_EQ(outcome.status, -1);
  EXPECT_EQ(outcome.content, sent);
  EXPECT_EQ(byteVerb(object(), byteRecord(customer("Create", "C1|Ann|Paris|VqIgnore"))).status, -1);
  EXPECT_TRUE(verbconnector::calls().empty());
}

TEST_F(VerbTest, AFailingPropertyLookupDoesNotStopTheRequest) {
  agent().setFailing("getConfigProp", true);
  Outcome created = textVerb(object(), textRecord(customer("Create", "C1|Ann|Paris|VqIgnore")));
  agent().setFailing("getConfigProp", false);
  EXPECT_EQ(created.status, 1);
  EXPECT_EQ(created.content, textRecord(customer("Create", "C1|Ann|Paris|1")));
  EXPECT_EQ(created.message, "created C1");
}

TEST_F(VerbTest, StatusMessageIsTracedAtLevelThree) {
  agent().setTraceLevel(3);
  Outcome created = textVerb(object(), textRecord(customer("Create", "C1|Ann|Paris|VqIgnore")));
  EXPECT_EQ(created.message, "created C1");
  const std::vector<Row> lines = traces("Message from Connector");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].at(1), "3");
  EXPECT_EQ(lines[0].at(3), "Message from Connector created C1");
}

TEST_F(VerbTest, EventsFromNativeThreadsGetIdsAndFollowSubscriptions) {
  setEventAnswer(object(), 5);
  ASSERT_EQ(agent().subscribeTo("Customer", "Create", 0), 0);
  agent().clearLog();

  std::string id;
  EXPECT_EQ(verbconnector::publishFromThread("Customer", "C1", "Create", nullptr, &id), 5);
  EXPECT_TRUE(std::regex_match(id, std::regex("VerbConn_[0-9]+_0_[0-9a-f]+"))) << id;
  std::vector<Row> events = agent().rows("events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at(0), textRecord("BusinessObject|Customer|1.0.0|false|Create|en_US|5|C1|"
                                        "VqIgnore|VqIgnore|VqIgnore|" +
                                        id));

  EXPECT_EQ(verbconnector::publishFromThread("Customer", "C2", "Create", "given-7", &id), 5);
  EXPECT_EQ(id, "given-7");
  events = agent().rows("events");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NE(events[1].at(0).find(bars("|C2|VqIgnore|VqIgnore|VqIgnore|given-7|")),
            std::string::npos);

  // Nobody subscribes to Customer updates: no call reaches the agent.
  EXPECT_EQ(verbconnector::publishFromThread("Customer", "C3", "Update", nullptr, &id), -10);
  EXPECT_EQ(agent().rows("events").size(), 2u);
  EXPECT_EQ(params(80008), (std::vector<std::string>{"Customer,Update"}));
  EXPECT_EQ(verbconnector::publishFromThread("Customer", "C3", "Update", "given-8", &id), -10);
  EXPECT_EQ(agent().rows("events").size(), 2u);
}

// Not a benchmark: one figure for the cost of a verb round trip through the
// JVM (bucket in, object rebuilt, handler, object written back) under
// -Xcheck:jni and with recording off, printed for the record.
TEST_F(VerbTest, RoundTripTiming) {
  verbconnector::putRow("Customer", "C1", {{"Name", "Ann"}, {"City", "Paris"}});
  const std::string sent = textRecord(customer("Retrieve", "C1|VqIgnore|VqIgnore|VqIgnore"));
  agent().setRecording(false);
  constexpr int kWarmUp = 200;
  constexpr int kRounds = 2000;
  for (int i = 0; i < kWarmUp; ++i) ASSERT_EQ(textVerb(object(), sent).status, 1);
  const auto start = std::chrono::steady_clock::now();
  int ok = 0;
  for (int i = 0; i < kRounds; ++i) ok += textVerb(object(), sent).status == 1 ? 1 : 0;
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(ok, kRounds);
  const double micros =
      std::chrono::duration<double, std::micro>(elapsed).count() / static_cast<double>(kRounds);
  std::printf("n_DoVerbFor round trip: %.1f us per call (%d calls)\n", micros, kRounds);
  RecordProperty("microsPerCall", std::to_string(micros));
}

}  // namespace
}  // namespace hbtest
