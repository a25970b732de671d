// The status record ("ReturnStatusDescriptor", delimiter code 4) that comes
// back from a synchronous request. Every input reads to some status; written,
// read again and written once more, the texts must be equal and the status
// and message must survive.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/string_message.hpp"

namespace {

bool sameMessage(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  StringMessage input(hbfuzz::asText(data, size).c_str(), STATUS_DELIMITER);
  ReturnStatusDescriptor status(input);
  const std::string first = hbfuzz::takeText(status.toStringMessage());
  StringMessage again(first.c_str(), STATUS_DELIMITER);
  ReturnStatusDescriptor copy(again);
  if (copy.getStatus() != status.getStatus()) hbfuzz::fail("the status changed");
  if (!sameMessage(copy.getErrorString(), status.getErrorString())) {
    hbfuzz::fail("the message changed");
  }
  hbfuzz::expectSameText(first, hbfuzz::takeText(copy.toStringMessage()), "status record");
  return 0;
}
