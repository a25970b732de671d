// HbConnector: the one header a connector author includes.
//
// A connector derives from ConnectorBase (connector.hpp) and BOHandlerBase
// (bo_handler.hpp), works with BusinessObject and BusObjSpec
// (business_object.hpp, busobj_spec.hpp), reports through tracing.hpp, and
// stamps its library with HB_FRAMEWORK_VERSION (version_stamp.hpp).
#ifndef HBCONNECTOR_HBCONNECTOR_HPP_
#define HBCONNECTOR_HBCONNECTOR_HPP_

#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/collections.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/encoding.hpp"
#include "hbconnector/export.hpp"
#include "hbconnector/perf_monitor.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/serializer.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/subscription.hpp"
#include "hbconnector/tracing.hpp"
#include "hbconnector/transaction_busobj.hpp"
#include "hbconnector/version.hpp"
#include "hbconnector/version_stamp.hpp"

#endif  // HBCONNECTOR_HBCONNECTOR_HPP_
