// Without hb_add_connector the connector stamps itself.
#include "hbconnector/version_stamp.hpp"

HB_FRAMEWORK_VERSION("4.1.0");
