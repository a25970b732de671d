// The specification record, as the agent announces types (length-prefixed)
// and as combined messages carry it (delimited). The first input byte picks
// the encoding (even: delimited, odd: length-prefixed); the rest is the text.
//
// A valid spec is written (the writer has only the delimited encoding), read
// again and written once more; the two texts must be equal up to the order of
// the verb entries, which the writer takes from an identity-keyed set. Two
// kinds of spec cannot be written faithfully, because the format has no
// escapes, and are only read:
//   - a text holding the delimiter (code 3) inside a token, which only the
//     length-prefixed encoding can carry;
//   - an attribute after the first, or the first verb after attributes, named
//     "true" or "false": written after a twelve-token entry, the reader takes
//     that name for the optional thirteenth token.
#include <algorithm>
#include <cstddef>
#include <cstdint>
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

// The written text with the verb entries (the last 2 * verbs tokens) sorted.
std::string normalised(const std::string& text, std::size_t verbs) {
  StringMessage message(text.c_str());
  std::vector<std::string> tokens;
  for (const char* t = message.nextToken(); t != nullptr; t = message.nextToken()) {
    tokens.emplace_back(t);
  }
  if (tokens.size() < 2 * verbs) hbfuzz::fail("written spec shorter than its verb entries");
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

// Whether spec can be written and read back unchanged (see the file comment).
bool writable(const BusObjSpec& spec, const std::string& input, bool prefixed) {
  if (prefixed && input.find('\x03') != std::string::npos) return false;
  for (int i = 1; i < spec.getAttributeCount(); ++i) {
    if (isBooleanText(spec.getAttribute(i)->getName())) return false;
  }
  if (spec.getAttributeCount() > 0) {
    std::unique_ptr<StringMessage> written(spec.toStringMessage());
    StringMessage tokens(written->getText());
    const int skip = 6 + 12 * spec.getAttributeCount();
    for (int i = 0; i < skip; ++i) tokens.nextToken();
    if (isBooleanText(tokens.nextToken())) return false;
  }
  return true;
}

int verbCount(const BusObjSpec& spec) {
  std::unique_ptr<StringMessage> written(spec.toStringMessage());
  StringMessage tokens(written->getText());
  for (int i = 0; i < 5; ++i) tokens.nextToken();
  const char* count = tokens.nextToken();
  return count != nullptr ? std::atoi(count) : 0;
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
  if (spec.getAttributeCount() < 0 || !writable(spec, text, prefixed)) return 0;
  const std::string first = hbfuzz::takeText(spec.toStringMessage());
  StringMessage again(first.c_str());
  BusObjSpec copy(again);
  if (copy.getAttributeCount() != spec.getAttributeCount()) {
    hbfuzz::fail("a written spec does not read back with its attributes");
  }
  const std::size_t verbs = static_cast<std::size_t>(verbCount(spec));
  hbfuzz::expectSameText(normalised(first, verbs),
                         normalised(hbfuzz::takeText(copy.toStringMessage()), verbs),
                         "specification record");
  return 0;
}
