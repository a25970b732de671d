// Counts the allocations a unit test program makes through operator new, so a
// test can show that a path allocates nothing. AddressSanitizer brings its own
// allocator, so under it the count is not taken: kCountsAllocations is false
// and the count stays 0.
#ifndef HBCONNECTOR_TESTS_SUPPORT_ALLOCATION_COUNT_HPP_
#define HBCONNECTOR_TESTS_SUPPORT_ALLOCATION_COUNT_HPP_

namespace hbconnector::test {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kCountsAllocations = false;
#else
inline constexpr bool kCountsAllocations = true;
#endif

// Allocations so far through operator new in this program.
long allocationCount();

}  // namespace hbconnector::test

#endif  // HBCONNECTOR_TESTS_SUPPORT_ALLOCATION_COUNT_HPP_
