// Numbered messages and trace lines of the business object model.
//
// Every diagnostic goes through the current veneer; without one (before the
// runtime starts, or in tests without an agent) nothing happens.
#ifndef HBCONNECTOR_BUSOBJ_DIAGNOSTICS_HPP_
#define HBCONNECTOR_BUSOBJ_DIAGNOSTICS_HPP_

namespace hbconnector::detail {

// Message ids reported by the business object model.
inline constexpr int kMsgSpecMutatorRefused = 54;
inline constexpr int kMsgBadTypeCode = 61;
inline constexpr int kMsgVerbNotSupported = 62;
inline constexpr int kMsgUnknownType = 64;
inline constexpr int kMsgSetByNameRefused = 72;
inline constexpr int kMsgBadAttribute = 73;

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
