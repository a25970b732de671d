// The transaction record: a business object record followed by the prior
// image, as transactional verb requests carry it. The first input byte picks
// the encoding (even: delimited, odd: length-prefixed); the rest is the text.
// A valid object must survive the round trip with its prior image.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_support.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/transaction_busobj.hpp"

namespace {

std::unique_ptr<StringMessage> reader(bool prefixed, const char* data, std::size_t size) {
  if (prefixed) return std::make_unique<StringMessageI18N>(data, size);
  return std::make_unique<StringMessage>(std::string(data, size).c_str());
}

std::string write(const TransactionBusinessObject& bo, bool prefixed) {
  if (prefixed) return hbfuzz::takeText(bo.toStringMessageI18N());
  return hbfuzz::takeText(bo.toStringMessage());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  hbfuzz::registerFixedTypes();
  const bool prefixed = (data[0] & 1) != 0;
  const std::string text = hbfuzz::asText(data + 1, size - 1);
  std::unique_ptr<StringMessage> input = reader(prefixed, text.data(), text.size());
  TransactionBusinessObject bo(*input);
  if (bo.getSpec() == nullptr) return 0;
  const std::string first = write(bo, prefixed);
  std::unique_ptr<StringMessage> again = reader(prefixed, first.data(), first.size());
  TransactionBusinessObject copy(*again);
  if (copy.getSpec() == nullptr) hbfuzz::fail("a written transaction does not read back");
  hbfuzz::expectSameText(first, write(copy, prefixed), "transaction record");
  // The prior image of each side against the other's current values.
  copy.compare(&bo);
  hbfuzz::exerciseTreeOperations(bo);
  return 0;
}
