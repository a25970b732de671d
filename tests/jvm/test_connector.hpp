// A connector library for the JVM tests. Its one connector object is built
// when the library is loaded; the tests steer it through behaviour() and read
// what the library asked of it.
#ifndef HBCONNECTOR_TESTS_JVM_TEST_CONNECTOR_HPP_
#define HBCONNECTOR_TESTS_JVM_TEST_CONNECTOR_HPP_

#include <functional>
#include <string>

#define HB_TEST_CONNECTOR_EXPORT __attribute__((visibility("default")))

namespace testconnector {

struct Behaviour {
  int initResult = 1, pollResult = 0, terminateResult = 0;
  const char* version = "TestConnector 1.0";
  // The named operation throws (each a different type) instead of answering.
  bool throwOnInit = false, throwOnPoll = false, throwOnTerminate = false;
  bool throwOnGetVersion = false, throwOnSuspend = false, throwOnResume = false;
  // Runs inside pollForEvents (inside the n_poll native frame).
  std::function<void()> onPoll;
};

struct Calls {
  int init = 0, poll = 0, terminate = 0, suspend = 0, resume = 0;
  std::string initVersion;  // the version text the last init received
};

// Resets the behaviour and the call counts.
HB_TEST_CONNECTOR_EXPORT void reset();
HB_TEST_CONNECTOR_EXPORT Behaviour& behaviour();
HB_TEST_CONNECTOR_EXPORT const Calls& calls();

}  // namespace testconnector

#endif  // HBCONNECTOR_TESTS_JVM_TEST_CONNECTOR_HPP_
