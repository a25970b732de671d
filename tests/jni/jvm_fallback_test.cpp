// A process that creates its JVM itself: without JNI_OnLoad the library finds
// it through JNI_GetCreatedJavaVMs, and detaches the threads it attaches.
#include <gtest/gtest.h>
#include <jni.h>

#include <chrono>
#include <thread>

#include "bridge/jvm.hpp"

namespace {

namespace jvm = hbconnector::detail::jvm;

// Live Java threads, counting native threads attached to the VM; -1 when a
// call failed.
int threadCount(JNIEnv* env) {
  if (env->PushLocalFrame(8) != 0) return -1;
  int count = -1;
  jclass factory = env->FindClass("java/lang/management/ManagementFactory");
  jmethodID getBean = factory ? env->GetStaticMethodID(factory, "getThreadMXBean",
                                                       "()Ljava/lang/management/ThreadMXBean;")
                              : nullptr;
  jobject bean = getBean ? env->CallStaticObjectMethod(factory, getBean) : nullptr;
  jclass beanClass = bean && !env->ExceptionCheck()
                         ? env->FindClass("java/lang/management/ThreadMXBean")
                         : nullptr;
  jmethodID getCount = beanClass ? env->GetMethodID(beanClass, "getThreadCount", "()I") : nullptr;
  if (getCount != nullptr) count = env->CallIntMethod(bean, getCount);
  if (env->ExceptionCheck()) count = -1;
  env->PopLocalFrame(nullptr);
  return count;
}

TEST(JvmFallback, TheLibraryFindsAVmItWasNeverToldAboutAndDetachesItsThreads) {
  // No VM yet: nothing is found, and nothing wrong is remembered.
  EXPECT_EQ(jvm::vm(), nullptr);
  EXPECT_EQ(jvm::env(), nullptr);

  JavaVMOption options[] = {{const_cast<char*>("-Xcheck:jni"), nullptr},
                            {const_cast<char*>("-Xmx128m"), nullptr}};
  JavaVMInitArgs args{};
  args.version = JNI_VERSION_1_8;
  args.nOptions = 2;
  args.options = options;
  JavaVM* created = nullptr;
  JNIEnv* mainEnv = nullptr;
  ASSERT_EQ(JNI_CreateJavaVM(&created, reinterpret_cast<void**>(&mainEnv), &args), JNI_OK);

  EXPECT_EQ(jvm::vm(), created);
  // The creating thread already has its env; the library did not attach it.
  EXPECT_EQ(jvm::env(), mainEnv);
  EXPECT_FALSE(jvm::attachedByLibrary());

  const int baseline = threadCount(mainEnv);
  ASSERT_GT(baseline, 0);
  for (int round = 0; round < 20; ++round) {
    int during = -1;
    bool attachedHere = false;
    std::thread native([&] {
      JNIEnv* env = jvm::env();
      attachedHere = env != nullptr && jvm::attachedByLibrary();
      if (env != nullptr) during = threadCount(env);
    });
    native.join();
    ASSERT_TRUE(attachedHere) << round;
    EXPECT_EQ(during, baseline + 1) << round;
    EXPECT_EQ(threadCount(mainEnv), baseline) << round;
  }

  // The VM waits for attached threads at shutdown: with every thread
  // detached it returns at once.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(created->DestroyJavaVM(), JNI_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
