// A scripted stand-in for the summoner and chat services. Loaded next to the
// chat plugin, its endpoints take precedence over the host's simulated peers
// on the paths below, and each answers what the test scripted for
// "METHOD /concrete/path": {"error": text, "status": n} or {"body": value}.
// Anything unscripted fails with 404, so a test states every answer it needs.
#include <string_view>
#include <utility>

#include "api/binding_api.h"
#include "framework/plugin.h"
#include "logging/memory.h"
#include "platform/platform.h"
#include "value/value.h"

namespace kiv::e2e {

using binding::CallResult;
using binding::Value;

class StubPlugin : public framework::Plugin {
 public:
  StubPlugin() : Plugin("kiv-e2e-stub") {}

  void RegisterApi() override {
    Api()
        .Endpoint(HttpMethod::kPut, "/kiv-e2e-stub/v1/script",
                  [this](Value script) {
                    platform::LockGuard guard(mutex_);
                    script_ = std::move(script);
                  })
        .BodyArg("script");
    Serve(HttpMethod::kGet, "/kiv-summoner/v1/summoners");
    Serve(HttpMethod::kGet, "/kiv-summoner/v1/summoners/{id}");
    Serve(HttpMethod::kGet, "/kiv-chat/v1/conversations/{id}");
    Serve(HttpMethod::kPost, "/kiv-chat/v1/conversations");
    Serve(HttpMethod::kPost, "/kiv-chat/v1/conversations/{id}/messages");
    Serve(HttpMethod::kDelete, "/kiv-chat/v1/blocked-players/{id}");
    Serve(HttpMethod::kGet, "/kiv-chat/v1/blocked-players");
    Serve(HttpMethod::kGet, "/kiv-chat/v1/friends");
  }

 private:
  void Serve(HttpMethod method, std::string_view pattern) {
    const String templ = ToString(pattern);
    const String methodName = ToString(MethodName(method));
    const bool hasId = pattern.find("{id}") != std::string_view::npos;
    auto answer = [this, templ, methodName](CallResult& result, const String& id) -> Value {
      String key = methodName + " " + templ;
      const std::size_t at = key.find("{id}");
      if (at != String::npos) key.replace(at, 4, id);
      platform::LockGuard guard(mutex_);
      const Value& scripted = script_.FindMember(key);
      if (!scripted.IsStructure()) {
        result.Fail(key + " is not scripted");
        result.SetStatus(404);
        return Value();
      }
      const Value& error = scripted.FindMember("error");
      if (error.IsString()) {
        result.Fail(error.AsText());
        const Value& status = scripted.FindMember("status");
        result.SetStatus(static_cast<uint32_t>(status.AsUnsigned(static_cast<uint64_t>(status.AsSigned(500)))));
        return Value();
      }
      return scripted.FindMember("body");
    };
    // The first argument takes the caller's positional parameter item.
    if (hasId) {
      Api()
          .Endpoint(method, pattern, [answer](CallResult& result, Value, String id) { return answer(result, id); })
          .AnyArg("input")
          .Optional()
          .PathArg("id");
    } else {
      Api()
          .Endpoint(method, pattern, [answer](CallResult& result, Value) { return answer(result, String()); })
          .AnyArg("input")
          .Optional();
    }
  }

  platform::Mutex mutex_;
  Value script_;
};

}  // namespace kiv::e2e

KIV_DEFINE_PLUGIN_EXPORT(load_kiv_e2e_stub, kiv::e2e::StubPlugin, "kiv-e2e-stub")
