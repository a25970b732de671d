// The combined message "BusObjAndSpec": a business object record with the
// specification records it needs. The first input byte picks the reader
// (even: all specs, odd: the key form with one spec); the rest is the text.
// Specs the message registers are dropped after each input, so every input
// meets the same registry.
//
// A message that reads to a valid object is written again by the matching
// writer, read and written once more: the two texts must be equal.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_support.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/serializer.hpp"

namespace {

using Serializer = BusObjAndSpecSerializer;

std::string takeArray(char* text) {
  std::string copy = text;
  delete[] text;
  return copy;
}

void roundTrip(const std::string& text, bool keyForm) {
  std::unique_ptr<BusinessObject> bo(keyForm ? Serializer::deserializeWithSpec(text.c_str())
                                             : Serializer::deserializeWithAllSpecs(text.c_str()));
  if (bo == nullptr || bo->getSpec() == nullptr) return;
  const std::string first = takeArray(keyForm ? Serializer::serializeWithSpec(bo.get())
                                              : Serializer::serializeWithAllSpecs(bo.get()));
  std::unique_ptr<BusinessObject> copy(keyForm
                                           ? Serializer::deserializeWithSpec(first.c_str())
                                           : Serializer::deserializeWithAllSpecs(first.c_str()));
  if (copy == nullptr || copy->getSpec() == nullptr) {
    hbfuzz::fail("a written combined message does not read back");
  }
  hbfuzz::expectSameText(first,
                         takeArray(keyForm ? Serializer::serializeWithSpec(copy.get())
                                           : Serializer::serializeWithAllSpecs(copy.get())),
                         keyForm ? "combined message, key form" : "combined message");
  if (!keyForm) hbfuzz::exerciseTreeOperations(*bo);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  hbfuzz::registerFixedTypes();
  roundTrip(hbfuzz::asText(data + 1, size - 1), (data[0] & 1) != 0);
  hbfuzz::dropForeignSpecs();
  return 0;
}
