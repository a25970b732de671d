// Versions: the library's CDK version, the version a connector library was
// built with, and the version every business object spec carries.
//
// A Version is three signed 32-bit numbers written "%d.%d.%d". Parsing reads
// up to three numbers, each an optional sign and decimal digits, separated by
// '.'; components the text does not reach take the default component (0
// unless changed with setDefaultComponent). Text that does not start with a
// number leaves all three at the default component. Numbers beyond the range
// of a 32-bit integer are clamped to it.
#ifndef HBCONNECTOR_VERSION_HPP_
#define HBCONNECTOR_VERSION_HPP_

#include "hbconnector/export.hpp"

class HB_EXPORT Version {
 public:
  Version(int major, int minor, int point);
  // Parses text ("4.1.0", "4.1", ...); null gives three default components.
  explicit Version(const char* text = nullptr);

  // Major difference, else minor difference, else point difference. A
  // difference beyond the range of int is clamped (its sign is kept).
  int compare(const Version& other) const;
  int compare(const char* text) const;
  int compareMajor(const Version& other) const;
  int compareMajor(int major) const;
  int compareMinor(const Version& other) const;
  int compareMinor(int minor) const;
  int comparePoint(const Version& other) const;
  int comparePoint(int point) const;

  int getMajor() const { return major_; }
  int getMinor() const { return minor_; }
  int getPoint() const { return point_; }
  void setMajor(int major) { major_ = major; }
  void setMinor(int minor) { minor_ = minor; }
  void setPoint(int point) { point_ = point; }

  // "%d.%d.%d" in a buffer owned by the calling thread; the text stays valid
  // until this thread's next toString call. Every value fits the buffer.
  const char* toString() const;

  // The library's own CDK version, 4.1.0.
  static Version getCDKVersion();

  // Whether a connector built against the CDK version in text may run on this
  // library: 0 when compatible, -1 when not. Null text, a major version below
  // 3, or exactly 3.0.0 (after filling missing components with the default
  // component) are refused: 3.0.1, 3.5.0, 4.1.0 and 5.0.0 pass.
  static int checkConnectorVersion(const char* text);

  // Safe to read and set from any thread.
  static int getDefaultComponent();
  static void setDefaultComponent(int component);

  // A version kept for the connector (0.0.0 at load); the library does not
  // read it. The getter returns the address of the one stored value: set it
  // before other threads read through that address.
  static Version* getConnectorVersion();
  static void setConnectorVersion(const Version& version);

  // The separator text kept for users (parsing and printing always use ".").
  static const char* getSeparator();
  // Stores a copy of separator; null is ignored. Texts returned earlier stay
  // valid, so a reader on another thread never sees freed memory.
  static void setSeparator(const char* separator);

 private:
  int major_;
  int minor_;
  int point_;
};

#endif  // HBCONNECTOR_VERSION_HPP_
