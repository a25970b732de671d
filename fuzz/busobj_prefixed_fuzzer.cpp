// The business object record in the length-prefixed encoding (verb requests
// and events in byte-array form). Round trip as for the delimited record.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/string_message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hbfuzz::registerFixedTypes();
  StringMessageI18N input(reinterpret_cast<const char*>(data), size);
  BusinessObject bo(input);
  if (bo.getSpec() == nullptr) return 0;
  const std::string first = hbfuzz::takeText(bo.toStringMessageI18N());
  StringMessageI18N again(first.c_str());
  BusinessObject copy(again);
  if (copy.getSpec() == nullptr) hbfuzz::fail("a written record does not read back");
  hbfuzz::expectSameText(first, hbfuzz::takeText(copy.toStringMessageI18N()),
                         "length-prefixed record");
  if (copy.compare(&bo) != 0) hbfuzz::fail("the record read back holds other data");
  hbfuzz::exerciseTreeOperations(bo);
  return 0;
}
