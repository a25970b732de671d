// Assertions for programming errors inside the library.
//
// HB_ASSERT(expr) checks an invariant that only a programming error can break
// (a required argument missing, a Java class or method not found, a token
// length that cannot be right). When it fails it writes
//   "Assertion failed: <expr>, file <file>, line <line>"
// to standard error and stops the process with abort(). It is active in every
// build type: the checks guard against corrupting the agent's process, which is
// worse than stopping it.
//
// Malformed input from the agent is never an assertion: readers reject it and
// report it through their documented results.
#ifndef HBCONNECTOR_COLLECTIONS_ASSERT_HPP_
#define HBCONNECTOR_COLLECTIONS_ASSERT_HPP_

namespace hbconnector::detail {

[[noreturn]] void assertionFailed(const char* expression, const char* file, int line) noexcept;

}  // namespace hbconnector::detail

#define HB_ASSERT(expr)          \
  ((expr) ? static_cast<void>(0) \
          : ::hbconnector::detail::assertionFailed(#expr, __FILE__, __LINE__))

#endif  // HBCONNECTOR_COLLECTIONS_ASSERT_HPP_
