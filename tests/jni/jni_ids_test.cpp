// The kept JNI identifiers against the agent's real classes (-Xcheck:jni):
// each is the JVM's own, looked up once, and gone after dropIdentifiers.
#include <gtest/gtest.h>
#include <jni.h>

#include "bridge/jni_state.hpp"
#include "bridge/jvm.hpp"
#include "hbconnector/connector.hpp"

extern "C" JNIEXPORT jint JNICALL
Java_AppSide_1Connector_BusObjNativeInterface_n_1terminate(JNIEnv* env, jobject self);

namespace {

namespace jni = hbconnector::detail::jni;
using jni::JavaId;

constexpr int kIdCount = static_cast<int>(JavaId::kCount);

JNIEnv* startVm() {
  static JNIEnv* env = [] {
    JavaVMOption options[] = {
        {const_cast<char*>("-Xcheck:jni"), nullptr},
        {const_cast<char*>("-Xmx128m"), nullptr},
        {const_cast<char*>("-Djava.class.path=" HB_TEST_AGENT_JAR), nullptr},
        {const_cast<char*>("-Dhbconnector.library=" HB_TEST_LIBRARY), nullptr}};
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_1_8;
    args.nOptions = 4;
    args.options = options;
    JavaVM* vm = nullptr;
    JNIEnv* created = nullptr;
    if (JNI_CreateJavaVM(&vm, reinterpret_cast<void**>(&created), &args) != JNI_OK) {
      return static_cast<JNIEnv*>(nullptr);
    }
    return created;
  }();
  return env;
}

bool isField(JavaId id) {
  return id == JavaId::kStringBucketContent || id == JavaId::kStringBucketContentInArray;
}

void* idOf(JNIEnv* env, JavaId id) {
  return isField(id) ? static_cast<void*>(jni::fieldId(env, id))
                     : static_cast<void*>(jni::methodId(env, id));
}

TEST(JniIds, IdentifiersAreKeptPerStartUpAndDroppedOnRequest) {
  JNIEnv* env = startVm();
  ASSERT_NE(env, nullptr);
  jni::dropIdentifiers();

  // Before the class references are taken nothing is looked up, and no
  // exception is left behind.
  if (jni::busObjNativeInterfaceClass() == nullptr) {
    EXPECT_EQ(jni::methodId(env, JavaId::kLogMsg), nullptr);
    EXPECT_FALSE(env->ExceptionCheck());
    EXPECT_EQ(jni::keptIdentifierCount(), 0);
  }
  ASSERT_TRUE(jni::takeClassReferences(env));

  // Every entry exists in the agent's classes, and is what the JVM answers
  // for that class, name and signature.
  for (int i = 0; i < kIdCount; ++i) {
    const auto id = static_cast<JavaId>(i);
    SCOPED_TRACE(i);
    EXPECT_NE(idOf(env, id), nullptr);
    EXPECT_FALSE(env->ExceptionCheck());
    if (env->ExceptionCheck()) env->ExceptionClear();
    EXPECT_EQ(jni::keptIdentifierCount(), i + 1);
  }
  jclass agent = jni::busObjNativeInterfaceClass();
  EXPECT_EQ(jni::methodId(env, JavaId::kLogMsgWithType),
            env->GetMethodID(agent, "logMsg", "(Ljava/lang/String;I)V"));
  EXPECT_EQ(
      jni::methodId(env, JavaId::kGetConfigProp),
      env->GetStaticMethodID(agent, "getConfigProp", "(Ljava/lang/String;)Ljava/lang/String;"));
  EXPECT_EQ(jni::fieldId(env, JavaId::kStringBucketContentInArray),
            env->GetFieldID(jni::stringBucketClass(), "contentinArray", "[B"));
  EXPECT_EQ(jni::methodId(env, JavaId::kSetErrorString),
            env->GetMethodID(jni::rtnStatusDespClass(), "setErrorString", "(Ljava/lang/String;)V"));
  // A method asked for as a field, or a field as a method, is no identifier.
  EXPECT_EQ(jni::fieldId(env, JavaId::kLogMsg), nullptr);
  EXPECT_EQ(jni::methodId(env, JavaId::kStringBucketContent), nullptr);
  EXPECT_EQ(jni::methodId(env, JavaId::kCount), nullptr);
  EXPECT_FALSE(env->ExceptionCheck());

  // Dropped: nothing kept; the next use finds the same member again.
  const jmethodID before = jni::methodId(env, JavaId::kGenerateMsg);
  jni::dropIdentifiers();
  EXPECT_EQ(jni::keptIdentifierCount(), 0);
  EXPECT_EQ(jni::methodId(env, JavaId::kGenerateMsg), before);
  EXPECT_EQ(jni::keptIdentifierCount(), 1);

  // A second start-up over the same classes keeps the references and starts
  // with an empty table again once dropped.
  ASSERT_TRUE(jni::takeClassReferences(env));
  EXPECT_EQ(jni::busObjNativeInterfaceClass(), agent);
  jni::dropIdentifiers();
  EXPECT_EQ(jni::keptIdentifierCount(), 0);
}

TEST(JniIds, TerminateLeavesNoIdentifierBehind) {
  JNIEnv* env = startVm();
  ASSERT_NE(env, nullptr);
  ASSERT_TRUE(jni::takeClassReferences(env));
  ASSERT_NE(jni::methodId(env, JavaId::kSetErrorString), nullptr);
  ASSERT_NE(jni::fieldId(env, JavaId::kStringBucketContent), nullptr);
  ASSERT_GT(jni::keptIdentifierCount(), 0);

  // A running veneer without a connector: n_terminate answers -1 (no
  // connector to stop) and still takes the veneer down and drops the table.
  new JToCPPVeneer(nullptr, nullptr);  // becomes the current veneer, deleted by n_terminate
  ASSERT_NE(JToCPPVeneer::getVeneer(), nullptr);
  EXPECT_EQ(Java_AppSide_1Connector_BusObjNativeInterface_n_1terminate(env, nullptr), -1);
  EXPECT_EQ(JToCPPVeneer::getVeneer(), nullptr);
  EXPECT_EQ(jni::keptIdentifierCount(), 0);
  EXPECT_FALSE(env->ExceptionCheck());
}

}  // namespace
