// HbConnector: the one header a connector author includes.
#ifndef HBCONNECTOR_HBCONNECTOR_HPP_
#define HBCONNECTOR_HBCONNECTOR_HPP_

#include "hbconnector/collections.hpp"
#include "hbconnector/export.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/version.hpp"

#endif  // HBCONNECTOR_HBCONNECTOR_HPP_
