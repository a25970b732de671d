#include "hbconnector/version.hpp"

#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>

#include "collections/decimal.hpp"

namespace hbconnector::detail {
namespace {

std::atomic<int> g_defaultComponent{0};

// The connector version is handed out by address, so it lives in one place;
// the mutex orders a setter before later getters on other threads.
std::mutex g_connectorVersionMutex;
// Version(int, int, int) only stores its three numbers; it cannot throw.
Version g_connectorVersion(0, 0, 0);  // NOLINT(cert-err58-cpp)

// Every separator ever set stays allocated: a caller may still hold the text
// an earlier getSeparator returned. Equal texts share one entry, so repeated
// setting of the same few values does not grow the set.
std::mutex g_separatorMutex;
std::set<std::string>& separatorTexts() {
  static auto* texts = new std::set<std::string>;
  return *texts;
}
std::atomic<const char*> g_separator{"."};

// Differences of clamped 32-bit values can exceed int: keep the sign.
int clampedDifference(int a, int b) {
  const std::int64_t d = static_cast<std::int64_t>(a) - b;
  if (d > INT_MAX) return INT_MAX;
  if (d < INT_MIN) return INT_MIN;
  return static_cast<int>(d);
}

}  // namespace
}  // namespace hbconnector::detail

using hbconnector::detail::clampedDifference;

Version::Version(int major, int minor, int point) : major_(major), minor_(minor), point_(point) {}

Version::Version(const char* text)
    : major_(getDefaultComponent()), minor_(getDefaultComponent()), point_(getDefaultComponent()) {
  int* const fields[] = {&major_, &minor_, &point_};
  // "%d.%d.%d": numbers separated by exactly one '.', stopping at the first
  // part that does not match.
  const char* p = text;
  for (std::size_t i = 0; p != nullptr && i < 3; ++i) {
    if (i > 0) {
      if (*p != '.') break;
      ++p;
    }
    p = hbconnector::detail::parseDecimal(p, fields[i]);
  }
}

int Version::compare(const Version& other) const {
  if (major_ != other.major_) return compareMajor(other);
  if (minor_ != other.minor_) return compareMinor(other);
  return comparePoint(other);
}

int Version::compare(const char* text) const { return compare(Version(text)); }

int Version::compareMajor(const Version& other) const { return compareMajor(other.major_); }
int Version::compareMajor(int major) const { return clampedDifference(major_, major); }
int Version::compareMinor(const Version& other) const { return compareMinor(other.minor_); }
int Version::compareMinor(int minor) const { return clampedDifference(minor_, minor); }
int Version::comparePoint(const Version& other) const { return comparePoint(other.point_); }
int Version::comparePoint(int point) const { return clampedDifference(point_, point); }

const char* Version::toString() const {
  // Three ints of up to 11 characters each, two dots and the zero.
  thread_local std::array<char, 3 * 11 + 2 + 1> buffer;
  std::snprintf(buffer.data(), buffer.size(), "%d.%d.%d", major_, minor_, point_);
  return buffer.data();
}

Version Version::getCDKVersion() { return Version(4, 1, 0); }

int Version::checkConnectorVersion(const char* text) {
  if (text == nullptr) return -1;
  const Version version(text);
  if (version.getMajor() < 3) return -1;
  if (Version(3, 0, 0).compare(version) == 0) return -1;
  return 0;
}

int Version::getDefaultComponent() {
  return hbconnector::detail::g_defaultComponent.load(std::memory_order_relaxed);
}

void Version::setDefaultComponent(int component) {
  hbconnector::detail::g_defaultComponent.store(component, std::memory_order_relaxed);
}

Version* Version::getConnectorVersion() {
  std::lock_guard<std::mutex> lock(hbconnector::detail::g_connectorVersionMutex);
  return &hbconnector::detail::g_connectorVersion;
}

void Version::setConnectorVersion(const Version& version) {
  const Version copy = version;  // version may be the stored value itself
  std::lock_guard<std::mutex> lock(hbconnector::detail::g_connectorVersionMutex);
  hbconnector::detail::g_connectorVersion = copy;
}

const char* Version::getSeparator() {
  return hbconnector::detail::g_separator.load(std::memory_order_acquire);
}

void Version::setSeparator(const char* separator) {
  if (separator == nullptr) return;
  std::lock_guard<std::mutex> lock(hbconnector::detail::g_separatorMutex);
  const auto entry = hbconnector::detail::separatorTexts().emplace(separator).first;
  hbconnector::detail::g_separator.store(entry->c_str(), std::memory_order_release);
}
