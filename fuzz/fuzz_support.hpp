// Shared pieces of the fuzz targets: the fixed business object types every
// record target reads against, and the round-trip helpers.
//
// The types cover every shape a record can take: simple attributes of every
// type code, single children, child arrays, and types that contain themselves
// (so nesting depth is limited only by the readers' cap):
//
//   Address   City, Zip
//   Line      LineId (key), Qty (Integer), Price (Double)
//   Customer  Name (key), Address (Address), Orders (Order, "n"), Active
//             (Boolean), ObjectEventId
//   Order     Id (key), Lines (Line, "n"), Buyer (Customer), Note (LongText)
//   Node      Name (key), Next (Node), Kids (Node, "n"), When (Date)
#ifndef HBCONNECTOR_FUZZ_FUZZ_SUPPORT_HPP_
#define HBCONNECTOR_FUZZ_FUZZ_SUPPORT_HPP_

#include <cstddef>
#include <cstdint>
#include <string>

class BusinessObject;
class StringMessage;

namespace hbfuzz {

// Registers the fixed types once per process (later calls do nothing).
void registerFixedTypes();

// Removes from the registry, and deletes, every spec that is not one of the
// fixed types, so that each input starts from the same registry.
void dropForeignSpecs();

// The input as a text: the bytes before the first zero byte.
std::string asText(const std::uint8_t* data, std::size_t size);

// The text of a message the caller no longer needs (deleted here).
std::string takeText(StringMessage* message);

// Stops the run with the two texts shown when they differ.
void expectSameText(const std::string& first, const std::string& second, const char* what);

// Runs the whole-tree operations over a copy of bo (a valid object): copy,
// compare, dump, verb marking, merging and applying, defaults, event ids and
// the key form. Stops the run when a fresh copy differs from bo.
void exerciseTreeOperations(const BusinessObject& bo);

// Stops the run with a message (a broken invariant).
[[noreturn]] void fail(const char* what);

}  // namespace hbfuzz

#endif  // HBCONNECTOR_FUZZ_FUZZ_SUPPORT_HPP_
