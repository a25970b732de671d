// Linked into the test programs that create their own virtual machine.
#if defined(__SANITIZE_ADDRESS__)
// Memory the VM keeps for its whole life is not ours to report.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:os::malloc\nleak:os::realloc\nleak:os::strdup\nleak:libjli.so\nleak:libz.so\n"
         "leak:libjvm.so\n";
}
#endif
