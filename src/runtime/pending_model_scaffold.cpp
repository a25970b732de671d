// DELETE THIS FILE (or the definitions you now provide) when the business object model lands: it
// stands in for its functions.
//
// Until then the runtime refers to BusinessObject::setObjectEventId without
// anything defining it, so the library could not link. These stand-ins stop the process if anything
// calls them.
#include <cstdio>
#include <cstdlib>

#include "hbconnector/business_object.hpp"

namespace {

[[noreturn]] void notYetAvailable(const char* what) {
  std::fprintf(stderr, "%s called before the business object model exists\n", what);
  std::abort();
}

}  // namespace

void BusinessObject::setObjectEventId() { notYetAvailable("BusinessObject::setObjectEventId"); }
