// A minimal connector for the agent's start-up tests. Built three ways:
// stamped (it starts; its poll throws), unstamped (the start-up refuses it),
// and without the HbConnector library on its link line (it does not load,
// as a connector built with the libraries before the sources under
// --as-needed).
#include <stdexcept>

#include "hbconnector/connector.hpp"

#ifdef HB_PROBE_STAMP
#include "hbconnector/version_stamp.hpp"
HB_FRAMEWORK_VERSION(HB_PROBE_STAMP);
#endif

namespace {

class ProbeConnector : public ConnectorBase {
 public:
  BOHandlerBase* getBOHandlerForBO(const char*) override { return nullptr; }
  int init(Version*) override { return 1; }
  int pollForEvents() override { throw std::runtime_error("the probe's poll fails on purpose"); }
  int terminate() override { return 0; }
  const char* getVersion() override { return "1.0.0"; }
};

ProbeConnector theConnector;

}  // namespace
