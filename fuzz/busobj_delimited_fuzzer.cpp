// The business object record in the delimited encoding (verb requests and
// synchronous replies in string form). An input that reads to a valid object
// must survive a round trip: written, read again and written once more, the
// two written texts are equal.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/string_message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hbfuzz::registerFixedTypes();
  StringMessage input(hbfuzz::asText(data, size).c_str());
  BusinessObject bo(input);
  if (bo.getSpec() == nullptr) return 0;
  const std::string first = hbfuzz::takeText(bo.toStringMessage());
  StringMessage again(first.c_str());
  BusinessObject copy(again);
  if (copy.getSpec() == nullptr) hbfuzz::fail("a written record does not read back");
  hbfuzz::expectSameText(first, hbfuzz::takeText(copy.toStringMessage()), "delimited record");
  if (copy.compare(&bo) != 0) hbfuzz::fail("the record read back holds other data");
  hbfuzz::exerciseTreeOperations(bo);
  return 0;
}
