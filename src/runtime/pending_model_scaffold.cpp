// DELETE THIS FILE (or the definitions you now provide) when the business object model lands: it stands in for its functions.
//
// Until then the runtime refers to BusinessObject::setObjectEventId and the
// two event upcalls without anything defining them, so the test binaries
// could not link. These stand-ins stop the process if anything calls them.
#include <cstdio>
#include <cstdlib>

#include "bridge/upcalls.hpp"
#include "hbconnector/business_object.hpp"

namespace {

[[noreturn]] void notYetAvailable(const char* what) {
  std::fprintf(stderr, "%s called before the business object model exists\n", what);
  std::abort();
}

}  // namespace

void BusinessObject::setObjectEventId() { notYetAvailable("BusinessObject::setObjectEventId"); }

namespace hbconnector::detail::upcall {

int gotEventFromApp(BusinessObject& /*bo*/) { notYetAvailable("upcall::gotEventFromApp"); }

int gotEventFromApp(BusinessObject& /*bo*/, const char* /*encoding*/) {
  notYetAvailable("upcall::gotEventFromApp (byte-array form)");
}

}  // namespace hbconnector::detail::upcall
