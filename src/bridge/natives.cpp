// Native methods of AppSide_Connector.BusObjNativeInterface that start, drive
// and stop the connector, and those of subscriptions.
//
// Each method is a thin adapter to the current JToCPPVeneer. One boundary
// guard per method turns anything thrown into the method's failure result,
// and the Java exception check runs last so no Java exception reaches the
// agent from here. Without a veneer (before n_init, after n_terminate) the
// methods answer -1, the empty text or false and touch nothing.
#include <jni.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bridge/jni_agent_port.hpp"
#include "bridge/jni_state.hpp"
#include "bridge/jvm.hpp"
#include "bridge/natives_support.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/perf_monitor.hpp"
#include "hbconnector/subscription.hpp"
#include "hbconnector/tracing.hpp"
#include "hbconnector/version.hpp"
#include "runtime/upcalls.hpp"
#include "runtime/version_info.hpp"

namespace hbconnector::detail::natives {
namespace {

constexpr char kNativeInterfaceVersion[] = "4.1.1.0";

// Reports connector code that threw out of method; call it only inside a
// catch block. Message 80401 names the method; the exception's own text
// follows as a log line of its own.
void userCodeException(const char* method) {
  upcall::composeMessage(kMsgUserCodeException, method);
  logThrown(method);
}

// The connector library's build version, read from its file; empty with
// message 17203 reported when the file has none.
bool readFrameworkVersion(const char* dllFileName, std::string* value) {
  const std::uint32_t size = getFileVersionInfoSize(dllFileName);
  if (size == 0) {
    upcall::reportMessage(kMsgNoFrameworkVersion, dllFileName);
    return false;
  }
  traceLine(TRACE_LEVEL1, "Connector dll name is %s", dllFileName);
  std::vector<char> block(size);
  const char* text = nullptr;
  std::uint32_t length = 0;
  if (!getFileVersionInfo(dllFileName, size, block.data()) ||
      !verQueryValue(block.data(), size, kFrameworkVersionQuery, &text, &length)) {
    upcall::reportMessage(kMsgNoFrameworkVersion, dllFileName);
    return false;
  }
  value->assign(text, length);
  return true;
}

int init(JNIEnv* env, jobject self, jstring version, jstring dllFileName) {
  // Missing arguments or agent classes leave the connector stopped; a class
  // that is not found has its exception pending for the final check.
  if (version == nullptr || dllFileName == nullptr) return -1;
  jvm::UtfChars dll = chars(env, dllFileName);
  if (!dll) return -1;
  Version agentVersion;
  {
    jvm::UtfChars versionText = chars(env, version);
    if (!versionText) return -1;
    agentVersion = Version(versionText.get());
  }
  if (!jni::takeClassReferences(env)) return -1;
  jni::dropIdentifiers();

  const Version cdk = Version::getCDKVersion();
  const bool agentMatches = agentVersion.compare(cdk) == 0;

  auto handler = std::make_unique<SubscriptionHandlerCPP>();
  jvm::GlobalRef<jobject> agent(env, self);
  // The agent is reachable before the veneer is made: its constructor already
  // asks for the trace level and composes message 80404.
  jobject agentRef = agent.release();
  jni::setAgentObject(agentRef);
  auto* created = new JToCPPVeneer(handler.release(), agentRef);
  JToCPPVeneer::setVeneer(created);

  if (!agentMatches) {
    upcall::reportMessage(kMsgAgentVersionMismatch, "");
    return -1;
  }

  std::string frameworkVersion;
  if (!readFrameworkVersion(dll.get(), &frameworkVersion)) return -1;
  const std::string cdkText = cdk.toString();
  if (Version::checkConnectorVersion(frameworkVersion.c_str()) != 0) {
    const std::string params = std::string(dll.get()) + ',' + frameworkVersion + ',' + cdkText;
    upcall::reportMessage(kMsgIncompatibleFramework, params.c_str());
    return -1;
  }
  traceLine(TRACE_LEVEL1,
            "Present CDK version %s and the version of the CDK with which the connector was "
            "build %s are compatible",
            cdkText.c_str(), frameworkVersion.c_str());

  // Without a connector object there is nothing to start; say so in words a
  // connector author can act on.
  if (JToCPPVeneer::getConnector() == nullptr) {
    const std::string line = formatBoundedLine(
        "The connector library %s created no connector object: it must define one object of "
        "a class derived from ConnectorBase (for example 'static MyConnector theConnector;' "
        "at namespace scope), which the library starts",
        dll.get());
    upcall::logComposed(line.c_str(), MSGTYPE_FATAL, true);
    return -1;
  }
  int result = -1;
  try {
    result = created->init(&agentVersion);
  } catch (...) {
    userCodeException("init");
    result = -1;
  }
  traceLine(TRACE_LEVEL5, "BusObjNativeInterface_n_init called.");
  return result;
}

int terminate(JNIEnv* env) {
  JToCPPVeneer* current = veneer();
  if (current == nullptr) return -1;
  traceLine(TRACE_LEVEL5, "BusObjNativeInterface_n_terminate called.");
  int result = -1;
  try {
    result = current->terminate();
  } catch (...) {
    userCodeException("terminate");
    result = -1;
  }
  // The veneer stops being current before anything is released, so no other
  // thread reaches a half-destroyed veneer or a deleted agent reference.
  auto agent = static_cast<jobject>(current->getAgentInterface());
  current->setAgentInterface(nullptr);
  jni::clearAgentObject(agent);
  if (JToCPPVeneer::getVeneer() == current) JToCPPVeneer::setVeneer(nullptr);
  delete current;
  if (agent != nullptr) env->DeleteGlobalRef(agent);
  jni::dropIdentifiers();
  return result;
}

void suspendOrResume(const char* traceText, const char* method, void (JToCPPVeneer::*call)()) {
  JToCPPVeneer* current = veneer();
  if (current == nullptr) return;
  traceLine(TRACE_LEVEL5, "%s", traceText);
  try {
    (current->*call)();
  } catch (...) {
    std::printf("User code exception encountered in method %s\n", method);
    std::fflush(stdout);
  }
}

// " Verb is: ..." suffix of the subscription trace lines.
std::string verbSuffix(const char* verb) {
  return verb != nullptr ? formatBoundedLine("\nVerb is: %s.", verb)
                         : std::string("\nVerb is: null.");
}

}  // namespace
}  // namespace hbconnector::detail::natives

namespace natives = hbconnector::detail::natives;
using hbconnector::detail::jvm::UtfChars;

extern "C" {

JNIEXPORT jint JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1init(JNIEnv* env,
                                                                             jobject self,
                                                                             jstring version,
                                                                             jstring dllFileName) {
  return natives::boundary(env, jint{-1}, true,
                           [&] { return natives::init(env, self, version, dllFileName); });
}

JNIEXPORT jint JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1terminate(JNIEnv* env,
                                                                                  jobject) {
  return natives::boundary(env, jint{-1}, true, [&] { return natives::terminate(env); });
}

JNIEXPORT jint JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1poll(JNIEnv* env, jobject) {
  return natives::boundary(env, jint{-1}, true, [] {
    JToCPPVeneer* current = natives::veneer();
    if (current == nullptr) return -1;
    try {
      return current->pollForEvents();
    } catch (...) {
      natives::userCodeException("poll");
      return -1;
    }
  });
}

JNIEXPORT jstring JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1getVersion(JNIEnv* env,
                                                                                      jobject) {
  const std::string text = natives::boundary(env, std::string(), true, [] {
    JToCPPVeneer* current = natives::veneer();
    if (current == nullptr) return std::string();
    try {
      const char* version = current->getVersion();
      return std::string(version != nullptr ? version : "");
    } catch (...) {
      natives::userCodeException("getVersion");
      return std::string();
    }
  });
  return natives::toJava(env, text);
}

JNIEXPORT jstring JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1CDKVersion(JNIEnv* env,
                                                                                      jobject) {
  const std::string text = natives::boundary(
      env, std::string(), false, [] { return std::string(Version::getCDKVersion().toString()); });
  return natives::toJava(env, text);
}

JNIEXPORT jstring JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1CJNIVersion(JNIEnv* env,
                                                                                       jobject) {
  hbconnector::detail::jvm::rememberEnv(env);
  return natives::toJava(env, natives::kNativeInterfaceVersion);
}

JNIEXPORT void JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1suspend(JNIEnv* env,
                                                                                jobject) {
  natives::boundary(env, 0, true, [] {
    natives::suspendOrResume("Java_AppSide_1Connector_BusObjNativeInterface_n_1suspend called.",
                             "suspend", &JToCPPVeneer::suspend);
    return 0;
  });
}

JNIEXPORT void JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1resume(JNIEnv* env,
                                                                               jobject) {
  natives::boundary(env, 0, true, [] {
    natives::suspendOrResume("Java_AppSide_1Connector_BusObjNativeInterface_n_1resume called.",
                             "resume", &JToCPPVeneer::resume);
    return 0;
  });
}

JNIEXPORT void JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1setTraceLevel(JNIEnv* env,
                                                                                      jobject,
                                                                                      jint level) {
  natives::boundary(env, 0, true, [level] {
    if (JToCPPVeneer* current = natives::veneer()) current->setTraceLevel(level);
    return 0;
  });
}

JNIEXPORT jstring JNICALL
Java_AppSide_1Connector_BusObjNativeInterface_n_1getPerfMonitors(JNIEnv* env, jobject) {
  const std::string text =
      natives::boundary(env, std::string(1, '#') + PERF_FIELD_SEPARATOR, false, [] {
        std::string list(1, '#');
        list += PERF_FIELD_SEPARATOR;
        int count = 0;
        std::unique_ptr<PerfMonitor*[]> monitors(PerfMonitor::getPerfMonitors(&count));
        char record[512];
        for (int i = 0; monitors != nullptr && i < count; ++i) {
          record[0] = '\0';
          // A record longer than the buffer is kept cut to 511 characters.
          monitors[i]->formatPerfMonitor(record, sizeof record);
          list += record;
          list += '#';
        }
        return list;
      });
  return natives::toJava(env, text);
}

JNIEXPORT jint JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1SubscribeTo(
    JNIEnv* env, jobject, jstring name, jstring verb, jint perf) {
  return natives::boundary(env, jint{-1}, true, [&] {
    JToCPPVeneer* current = natives::veneer();
    UtfChars boName = natives::chars(env, name);
    UtfChars boVerb = natives::chars(env, verb);
    if (current == nullptr || !boName || (verb != nullptr && !boVerb)) return -1;
    natives::traceLine(
        TRACE_LEVEL5,
        "BusObjNativeInterface_n_SubscribeTo got Subscription for BusObjSpec named: %s.%s",
        boName.get(), natives::verbSuffix(boVerb.get()).c_str());
    return current->subscribeTo(boName.get(), boVerb.get(), perf);
  });
}

JNIEXPORT jint JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1UpdateSubscription(
    JNIEnv* env, jobject, jstring name, jstring verb, jstring /*ignored*/, jint perf) {
  return natives::boundary(env, jint{-1}, true, [&] {
    JToCPPVeneer* current = natives::veneer();
    UtfChars boName = natives::chars(env, name);
    UtfChars boVerb = natives::chars(env, verb);
    if (current == nullptr || !boName || !boVerb) return -1;
    return current->subscribeTo(boName.get(), boVerb.get(), perf);
  });
}

JNIEXPORT jint JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1CancelSub(
    JNIEnv* env, jobject, jstring name, jstring version, jstring verb) {
  return natives::boundary(env, jint{-1}, true, [&] {
    JToCPPVeneer* current = natives::veneer();
    SubscriptionHandlerCPP* handler =
        current != nullptr ? current->getSubscriptionHandler() : nullptr;
    UtfChars boName = natives::chars(env, name);
    UtfChars boVersion = natives::chars(env, version);
    UtfChars boVerb = natives::chars(env, verb);
    if (handler == nullptr || !boName || !boVersion || !boVerb) return -1;
    natives::traceLine(TRACE_LEVEL5,
                       "BusObjNativeInterface_n_CancelSub got CancelSubscription for BusObjSpec "
                       "named: %s, verb: %s.",
                       boName.get(), boVerb.get());
    return handler->cancelSub(boName.get(), boVersion.get(), boVerb.get());
  });
}

JNIEXPORT jboolean JNICALL Java_AppSide_1Connector_BusObjNativeInterface_n_1isSubscribed(
    JNIEnv* env, jobject, jstring name, jstring verb) {
  return natives::boundary(env, jboolean{JNI_FALSE}, true, [&]() -> jboolean {
    JToCPPVeneer* current = natives::veneer();
    UtfChars boName = natives::chars(env, name);
    UtfChars boVerb = natives::chars(env, verb);
    if (current == nullptr || !boName || (verb != nullptr && !boVerb)) return JNI_FALSE;
    natives::traceLine(TRACE_LEVEL5,
                       "BusObjNativeInterface_n_isSubscribed for BusObjSpec named: %s.%s",
                       boName.get(), natives::verbSuffix(boVerb.get()).c_str());
    return current->isSubscribed(boName.get(), boVerb.get()) == 1 ? JNI_TRUE : JNI_FALSE;
  });
}

}  // extern "C"
