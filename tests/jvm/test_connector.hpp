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
  int initResult = 1;
  int pollResult = 0;
  int terminateResult = 0;
  const char* version = "TestConnector 1.0";
  // The named operation throws instead of answering.
  bool throwOnInit = false;
  bool throwOnPoll = false;
  bool throwOnTerminate = false;
  bool throwOnGetVersion = false;
  bool throwOnSuspend = false;
  bool throwOnResume = false;
  // Runs inside pollForEvents (inside the n_poll native frame).
  std::function<void()> onPoll;
};

struct Calls {
  int init = 0;
  int poll = 0;
  int terminate = 0;
  int suspend = 0;
  int resume = 0;
  // The version text the last init received.
  std::string initVersion;
};

// Resets the behaviour and the call counts.
HB_TEST_CONNECTOR_EXPORT void reset();
HB_TEST_CONNECTOR_EXPORT Behaviour& behaviour();
HB_TEST_CONNECTOR_EXPORT const Calls& calls();

}  // namespace testconnector

#endif  // HBCONNECTOR_TESTS_JVM_TEST_CONNECTOR_HPP_
