// The documents the benchmarks work on, in every encoding they are compared in.
//
// S: one Customer object of 20 string attributes (about 400 bytes delimited).
// M: an Order of 10 string attributes with 200 OrderLine children of 10 string
//    attributes each (about 61 KB delimited).
// L: the same Order with 10,000 lines (about 3 MB delimited).
//
// Each shape is generated deterministically as the delimited record, the
// length-prefixed record and a JSON document holding the same tree (type,
// version, delta flag, verb, locale and every attribute by name), so that the
// peers parse and write the same data as the library.
#ifndef HBCONNECTOR_BENCHMARKS_SHAPES_HPP_
#define HBCONNECTOR_BENCHMARKS_SHAPES_HPP_

#include <cstddef>
#include <string>
#include <vector>

class BusinessObject;

namespace hbbench {

enum class Shape { kS, kM, kL };

const char* shapeName(Shape shape);

// Registers the Customer, Order and OrderLine specs in the library's registry
// (once per process).
void registerSpecs();

struct Document {
  std::string delimited;       // business object record, delimiter code 3
  std::string lengthPrefixed;  // the same record, length-prefixed
  std::string json;            // the same tree as JSON
};

// The document of a shape (generated on first use, then kept).
const Document& document(Shape shape);

// An Order with `lines` children whose LineId keys are "L<number>" for the
// given numbers, in that order; every other value is derived from the key and
// `variant`, so two trees with the same keys and different variants differ in
// their values only.
BusinessObject* makeOrder(const std::vector<int>& lineNumbers, int variant);

}  // namespace hbbench

#endif  // HBCONNECTOR_BENCHMARKS_SHAPES_HPP_
