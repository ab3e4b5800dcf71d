// The plugin libraries stay mapped for the whole test run. Their process-wide
// registries live as long as the library does; once a library is unmapped the
// leak checker can no longer see those registries as reachable and would
// report them. Pinning keeps real leaks (unreachable blocks) visible.
#include <dlfcn.h>
#include <gtest/gtest.h>

namespace {

class PinnedLibraries : public ::testing::Environment {
 public:
  void SetUp() override {
    for (const char* path : {KIV_CHAT_PLUGIN, KIV_PROBE_PLUGIN, KIV_STUB_PLUGIN}) {
      ASSERT_NE(dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE), nullptr) << dlerror();
    }
  }
};

[[maybe_unused]] ::testing::Environment* const kPinned = ::testing::AddGlobalTestEnvironment(new PinnedLibraries);

}  // namespace
