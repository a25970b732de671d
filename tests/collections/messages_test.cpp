// The message catalogue: one entry per id, valid types, and the id, type and
// parameter count the agent receives for the messages whose form it relies on.
#include <gtest/gtest.h>

#include <set>
#include <tuple>
#include <vector>

#include "collections/messages.hpp"

namespace {

using hbconnector::detail::findMessage;
using hbconnector::detail::kMessages;
using hbconnector::detail::Message;

TEST(MessageCatalogue, EveryEntryHasItsOwnIdAValidTypeAndIsFoundByIt) {
  std::set<int> ids;
  for (const Message* message : kMessages) {
    EXPECT_TRUE(ids.insert(message->id).second) << "id " << message->id << " twice";
    EXPECT_TRUE(message->type == MSGTYPE_STATUS || (message->type >= 1 && message->type <= 9))
        << message->id;
    EXPECT_GE(message->paramCount, 0) << message->id;
    EXPECT_NE(message->params, nullptr) << message->id;
    EXPECT_EQ(findMessage(message->id), message);
  }
  EXPECT_EQ(findMessage(0), nullptr);
  EXPECT_EQ(findMessage(99999), nullptr);
}

TEST(MessageCatalogue, TheAgentSeesTheIdsTypesAndCountsItKnows) {
  // id, type, parameter count, as the agent's message file expects them.
  const std::vector<std::tuple<int, int, int>> expected = {
      {17017, 7, 0}, {17203, 7, 0}, {17204, 7, 5}, {80008, 5, 2}, {80400, 7, 0},
      {80401, 6, 1}, {80402, 6, 1}, {80403, 6, 1}, {80404, 4, 1}, {80405, 4, 2},
      {17115, 6, 1}, {64, 6, 2},    {73, 7, 2},    {72, 7, 2},
  };
  for (const auto& [id, type, count] : expected) {
    const Message* message = findMessage(id);
    ASSERT_NE(message, nullptr) << id;
    EXPECT_EQ(message->type, type) << id;
    EXPECT_EQ(message->paramCount, count) << id;
  }
  // A Message reads as its id where a raw call wants the number.
  const int id = hbconnector::detail::kMsgUnknownType;
  EXPECT_EQ(id, 64);
}

}  // namespace
