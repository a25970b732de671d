// The specification record, as the agent announces types (length-prefixed)
// and as combined messages carry it (delimited). The first input byte picks
// the encoding (even: delimited, odd: length-prefixed); the rest is the text.
//
// A valid spec is written (the writer has only the delimited encoding), read
// again and written once more; the two texts must be equal up to the order of
// the verb entries, which the writer takes from an identity-keyed set (see
// normalised()). A spec
// read from length-prefixed text with the delimiter (code 3) inside a token
// cannot be written faithfully, because the delimited encoding has no
// escapes; such a spec is only read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/string_message.hpp"

namespace {

bool isBooleanText(const char* text) {
  return text != nullptr && (std::strcmp(text, "true") == 0 || std::strcmp(text, "false") == 0);
}

// The text spec wrote (written) in a form that does not depend on the order
// of its verbs: the verb entries sorted, and without the thirteenth token that
// the last attribute entry carries only when the first verb written happens
// to be named "true" or "false".
std::string normalised(const BusObjSpec& spec, const std::string& written) {
  StringMessage message(written.c_str());
  std::vector<std::string> tokens;
  for (const char* t = message.nextToken(); t != nullptr; t = message.nextToken()) {
    tokens.emplace_back(t);
  }
  // The sixth token is the number of verb entries.
  const std::size_t verbs =
      tokens.size() > 5 ? static_cast<std::size_t>(std::atoi(tokens[5].c_str())) : 0;
  const std::size_t attrs = static_cast<std::size_t>(spec.getAttributeCount());
  if (tokens.size() < 6 + 12 * attrs + 2 * verbs) hbfuzz::fail("written spec too short");
  std::size_t inner = 0;
  for (std::size_t i = 1; i < attrs; ++i) {
    inner += isBooleanText(spec.getAttribute(static_cast<int>(i))->getName()) ? 1 : 0;
  }
  const std::size_t verbsAt = tokens.size() - 2 * verbs;
  if (attrs > 0 && verbsAt - 6 == 12 * attrs + inner + 1) {
    tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(verbsAt - 1));
  }
  std::vector<std::pair<std::string, std::string>> entries;
  for (std::size_t i = tokens.size() - 2 * verbs; i < tokens.size(); i += 2) {
    entries.emplace_back(tokens[i], tokens[i + 1]);
  }
  std::sort(entries.begin(), entries.end());
  std::string out;
  for (std::size_t i = 0; i < tokens.size() - 2 * verbs; ++i) out += tokens[i] + '\x03';
  for (const auto& [name, info] : entries) out += name + '\x03' + info + '\x03';
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool prefixed = (data[0] & 1) != 0;
  const std::string text = hbfuzz::asText(data + 1, size - 1);
  std::unique_ptr<StringMessage> input;
  if (prefixed) {
    input = std::make_unique<StringMessageI18N>(text.c_str());
  } else {
    input = std::make_unique<StringMessage>(text.c_str());
  }
  BusObjSpec spec(*input);
  if (spec.getAttributeCount() < 0) return 0;
  if (prefixed && text.find('\x03') != std::string::npos) return 0;
  const std::string first = hbfuzz::takeText(spec.toStringMessage());
  StringMessage again(first.c_str());
  BusObjSpec copy(again);
  if (copy.getAttributeCount() != spec.getAttributeCount()) {
    hbfuzz::fail("a written spec does not read back with its attributes");
  }
  const std::string second = hbfuzz::takeText(copy.toStringMessage());
  hbfuzz::expectSameText(normalised(spec, first), normalised(copy, second), "specification record");
  return 0;
}
