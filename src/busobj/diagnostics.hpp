// Numbered messages and trace lines of the business object model (the ids
// are the kMsg* entries of collections/messages.hpp).
//
// Every diagnostic goes through the current veneer; without one (before the
// runtime starts, or in tests without an agent) nothing happens.
#ifndef HBCONNECTOR_BUSOBJ_DIAGNOSTICS_HPP_
#define HBCONNECTOR_BUSOBJ_DIAGNOSTICS_HPP_

#include "collections/messages.hpp"

namespace hbconnector::detail {

// Generates and logs message id with one or two parameters (a null
// parameter counts as empty text).
void reportMsg(int id, int type, const char* param);
void reportMsg(int id, int type, const char* first, const char* second);
// The same with integer parameters written as decimal text.
void reportMsg(int id, int type, int first, int second);
void reportMsg(int id, int type, int first, const char* second);
void reportMsg(int id, int type, const char* first, int second);

// Writes a trace line at level through the veneer's tracing.
void traceLine(int level, const char* text);

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_BUSOBJ_DIAGNOSTICS_HPP_
