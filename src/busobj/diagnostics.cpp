#include "busobj/diagnostics.hpp"

#include <string>

#include "hbconnector/connector.hpp"

namespace hbconnector::detail {

namespace {

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

void reportMsg(int id, int type, const char* param) {
  if (JToCPPVeneer* veneer = JToCPPVeneer::getVeneer()) {
    veneer->generateAndLogMsg(id, type, 1, orEmpty(param));
  }
}

void reportMsg(int id, int type, const char* first, const char* second) {
  if (JToCPPVeneer* veneer = JToCPPVeneer::getVeneer()) {
    veneer->generateAndLogMsg(id, type, 2, orEmpty(first), orEmpty(second));
  }
}

void reportMsg(int id, int type, int first, int second) {
  reportMsg(id, type, std::to_string(first).c_str(), std::to_string(second).c_str());
}

void reportMsg(int id, int type, int first, const char* second) {
  reportMsg(id, type, std::to_string(first).c_str(), second);
}

void reportMsg(int id, int type, const char* first, int second) {
  reportMsg(id, type, first, std::to_string(second).c_str());
}

void traceLine(int level, const char* text) {
  if (JToCPPVeneer* veneer = JToCPPVeneer::getVeneer()) {
    veneer->traceWrite(level, text);
  }
}

}  // namespace hbconnector::detail
