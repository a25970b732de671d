// Compact views of what the fake agent recorded, so one comparison checks a
// whole sequence of calls.
#ifndef HBCONNECTOR_TESTS_RUNTIME_RECORDS_HPP_
#define HBCONNECTOR_TESTS_RUNTIME_RECORDS_HPP_

#include <string>
#include <vector>

#include "hbconnector/connector.hpp"
#include "support/fake_agent.hpp"

namespace hbconnector::test {

using Lines = std::vector<std::string>;

// Each trace as "<level>:<text>", with "+<extra>" when an extra text was sent.
inline Lines traceLines(const FakeAgent& agent) {
  Lines lines;
  for (const auto& t : agent.traces())
    lines.push_back(std::to_string(t.level) + ":" + t.text + (t.hasExtra ? "+" + t.extra : ""));
  return lines;
}

// Each log as "<type>:<text>" when typed, else just the text.
inline Lines logLines(const FakeAgent& agent) {
  Lines lines;
  for (const auto& l : agent.logs())
    lines.push_back(l.typed ? std::to_string(l.type) + ":" + l.text : l.text);
  return lines;
}

// Each generateMsg call as "<id>/<type>/<flag>/<count>:<params>", "!" marking an extra text.
inline Lines generatedLines(const FakeAgent& agent) {
  Lines lines;
  for (const auto& g : agent.generated())
    lines.push_back(std::to_string(g.id) + "/" + std::to_string(g.type) + "/" +
                    std::to_string(g.flag) + "/" + std::to_string(g.count) +
                    (g.hasExtra ? "!" : "") + ":" + g.params);
  return lines;
}

// The calling thread's pending error text without its 24-character time
// stamp, or "<none>".
inline std::string pendingError() {
  const char* text = JToCPPVeneer::getErrorMsg();
  if (text == nullptr) return "<none>";
  const std::string all = text;
  return all.size() >= 24 ? all.substr(24) : "<short>" + all;
}

}  // namespace hbconnector::test

#endif  // HBCONNECTOR_TESTS_RUNTIME_RECORDS_HPP_
