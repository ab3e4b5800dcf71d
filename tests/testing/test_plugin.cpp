#include "testing/test_plugin.h"

namespace kiv::framework::testing {

bool TestPlugin::initializeResult = true;

void TestPlugin::RegisterApi() {
  Api()
      .Endpoint(HttpMethod::kGet, "/kiv-framework-test/v1/things", [](String name) { return name; })
      .Arg("name")
      .Tags(EndpointTags());
  // A resource event as a JSON body, answered with itself.
  Api()
      .Endpoint(HttpMethod::kPost, "/kiv-framework-test/v1/things", [](PluginResourceEvent event) { return event; })
      .BodyArg("event")
      .Tags(EndpointTags());
  DeclareResourceEvent("/kiv-framework-test/v1/things/*");
}

}  // namespace kiv::framework::testing

KIV_DEFINE_PLUGIN_EXPORT(load_kiv_framework_test, kiv::framework::testing::TestPlugin,
                         kiv::framework::testing::kTestShortName)
