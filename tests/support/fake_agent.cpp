#include "support/fake_agent.hpp"

#include <algorithm>
#include <cstring>

#include "hbconnector/perf_monitor.hpp"
#include "hbconnector/subscription.hpp"
#include "hbconnector/tracing.hpp"
#include "runtime/upcalls.hpp"

namespace hbconnector::test {

std::string FakeAgent::composedText(int id, int type, const std::string& params) {
  return "MSG " + std::to_string(id) + " (" + std::to_string(type) + "): " + params;
}

void FakeAgent::setConsumeSyncTexts(std::optional<std::string> boText,
                                    std::optional<std::string> statusText) {
  setConsumeSyncReply(
      [boText, statusText](const std::string&, std::string* bo, std::string* status) {
        if (boText) *bo = *boText;
        if (statusText) *status = *statusText;
        return boText.has_value() && statusText.has_value();
      });
}

std::vector<FakeAgent::GenerateRecord> FakeAgent::generated(int id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<GenerateRecord> matching;
  std::copy_if(generated_.begin(), generated_.end(), std::back_inserter(matching),
               [id](const GenerateRecord& record) { return record.id == id; });
  return matching;
}

int FakeAgent::callCount(const std::string& call) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count(calls_.begin(), calls_.end(), call));
}

void FakeAgent::clearRecords() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
  logs_.clear();
  traces_.clear();
  generated_.clear();
  events_.clear();
  consumeSyncs_.clear();
  configLookups_.clear();
  deltaLookups_.clear();
}

void FakeAgent::noteCall(const std::string& call) {
  CallHook hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
    hook = callHook_;
  }
  if (hook) hook(call);
}

int FakeAgent::copyAnswer(const std::optional<std::string>& answer, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return answer ? 0 : -1;
  buffer[0] = '\0';
  if (!answer) return -1;
  const std::size_t stored = std::min(answer->size(), static_cast<std::size_t>(size - 1));
  std::memcpy(buffer, answer->data(), stored);
  buffer[stored] = '\0';
  return static_cast<int>(stored);
}

int FakeAgent::lookup(const char* name, bool i18n, char* buffer, int size) {
  const std::string key = name != nullptr ? name : "";
  noteCall((i18n ? "getConfigPropI18n " : "getConfigProp ") + key);
  std::optional<std::string> answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    configLookups_.push_back({key, i18n});
    auto found = properties_.find(key);
    if (found != properties_.end()) answer = found->second;
  }
  return copyAnswer(answer, buffer, size);
}

int FakeAgent::getConfigProp(const char* name, char* buffer, int size) {
  return lookup(name, false, buffer, size);
}

int FakeAgent::getConfigPropI18n(const char* name, char* buffer, int size) {
  return lookup(name, true, buffer, size);
}

int FakeAgent::getDeltaSupport(const char* boName, char* buffer, int size) {
  const std::string key = boName != nullptr ? boName : "";
  noteCall("getDeltaSupport " + key);
  std::optional<std::string> answer = std::string("false");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    deltaLookups_.push_back(key);
    auto found = deltaSupport_.find(key);
    if (found != deltaSupport_.end()) answer = found->second;
  }
  return copyAnswer(answer, buffer, size);
}

void FakeAgent::logMsg(const char* text) {
  noteCall("logMsg");
  std::lock_guard<std::mutex> lock(mutex_);
  logs_.push_back({text != nullptr ? text : "", false, 0});
}

void FakeAgent::logMsg(const char* text, int type) {
  noteCall("logMsg typed");
  std::lock_guard<std::mutex> lock(mutex_);
  logs_.push_back({text != nullptr ? text : "", true, type});
}

void FakeAgent::traceWrite(const char* connectorName, int level, const char* delimiter,
                           const char* text, const char* extra) {
  noteCall("traceWrite");
  auto orEmpty = [](const char* t) { return std::string(t != nullptr ? t : ""); };
  TraceRecord record{
      orEmpty(connectorName), connectorName != nullptr, level,          orEmpty(delimiter),
      orEmpty(text),          text != nullptr,          orEmpty(extra), extra != nullptr};
  std::lock_guard<std::mutex> lock(mutex_);
  traces_.push_back(std::move(record));
}

char* FakeAgent::generateMsg(int id, int type, const char* extra, int flag, int count,
                             const char* params) {
  noteCall("generateMsg " + std::to_string(id));
  const std::string paramText = params != nullptr ? params : "";
  const std::string text = composedText(id, type, paramText);
  bool answers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    generated_.push_back(
        {id, type, extra != nullptr ? extra : "", extra != nullptr, flag, count, paramText});
    answers = generateAnswers_;
  }
  if (!answers) return nullptr;
  char* copy = new char[text.size() + 1];
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

int FakeAgent::gotEventFromApp(const char* text) {
  noteCall("gotEventFromApp");
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back({false, text != nullptr ? text : "", ""});
  return 0;
}

int FakeAgent::gotEventFromApp(const char* bytes, std::size_t length, const char* encoding) {
  noteCall("gotEventFromApp bytes");
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back({true, bytes != nullptr ? std::string(bytes, length) : std::string(),
                     encoding != nullptr ? encoding : ""});
  return 0;
}

bool FakeAgent::consumeSync(const char* name, std::string* boText, std::string* statusText) {
  const std::string key = name != nullptr ? name : "";
  noteCall("consumeSync " + key);
  ConsumeSyncReply reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    consumeSyncs_.push_back(
        {key, boText != nullptr ? *boText : "", statusText != nullptr ? *statusText : ""});
    reply = consumeSyncReply_;
  }
  if (boText == nullptr || statusText == nullptr) return false;
  return reply ? reply(key, boText, statusText) : true;
}

bool FakeAgent::getCollabNames(std::string* names) {
  noteCall("getCollabNames");
  std::lock_guard<std::mutex> lock(mutex_);
  if (!collabNames_) return false;
  if (names != nullptr) *names = *collabNames_;
  return true;
}

bool FakeAgent::getEncoding(std::string* encoding) {
  noteCall("getEncoding");
  std::lock_guard<std::mutex> lock(mutex_);
  if (!encoding_) return false;
  if (encoding != nullptr) *encoding = *encoding_;
  return true;
}

bool FakeAgent::getLocale(std::string* locale) {
  noteCall("getLocale");
  std::lock_guard<std::mutex> lock(mutex_);
  if (!locale_) return false;
  if (locale != nullptr) *locale = *locale_;
  return true;
}

bool FakeAgent::isAgentCapableOfPolling() {
  noteCall("isAgentCapableOfPolling");
  std::lock_guard<std::mutex> lock(mutex_);
  return capableOfPolling_;
}

BOHandlerBase* TestConnector::getBOHandlerForBO(const char* typeName) {
  auto found = handlers.find(typeName != nullptr ? typeName : "");
  return found != handlers.end() ? found->second : nullptr;
}

int TestConnector::init(Version* version) {
  ++initCalls;
  lastInitVersion = version;
  return onInit ? onInit() : initResult;
}

int TestConnector::pollForEvents() {
  ++pollCalls;
  return onPoll ? onPoll() : pollResult;
}

int TestConnector::terminate() {
  ++terminateCalls;
  return terminateResult;
}

namespace {

// The state every scope starts from and leaves behind.
void resetProcessState() {
  JToCPPVeneer::setVeneer(nullptr);
  JToCPPVeneer::setConnector(nullptr);
  hbconnector::detail::upcall::resetForTesting();
  JToCPPVeneer::clearErrorMsg();
  PerfMonitor::setPerfLevel(0);
  TRACE_LEVEL0 = 0;
  setTraceDelimiter(",");
}

}  // namespace

FakeAgentScope::FakeAgentScope() {
  resetProcessState();
  hbconnector::detail::setAgentPort(&agent_);
}

FakeAgentScope::~FakeAgentScope() {
  stopVeneer();
  resetProcessState();
  delete connector_;
  connector_ = nullptr;
  hbconnector::detail::setAgentPort(nullptr);
  hbconnector::detail::upcall::resetForTesting();
}

TestConnector& FakeAgentScope::startConnector() {
  delete connector_;
  connector_ = new TestConnector();
  return *connector_;
}

JToCPPVeneer& FakeAgentScope::startVeneer() {
  stopVeneer();
  veneer_ = new JToCPPVeneer(new SubscriptionHandlerCPP(), &agent_);
  return *veneer_;
}

void FakeAgentScope::stopVeneer() {
  delete veneer_;
  veneer_ = nullptr;
}

}  // namespace hbconnector::test
