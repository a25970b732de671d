// Starts several threads that wait for each other before running their body,
// so the bodies overlap as much as the scheduler allows: the way to make a
// race in the code under test likely rather than lucky.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace hbconnector::test {

// Runs body(t) for t in [0, count) on count threads started together; returns
// when all have finished.
template <typename Body>
void runTogether(int count, Body body) {
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  threads.reserve(count);
  for (int t = 0; t < count; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < count) std::this_thread::yield();
      body(t);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace hbconnector::test
