// kivhost: the reference plugin host. Loads plugin libraries, hands them the
// host services, and serves their endpoints, the simulated peers and the
// event stream over HTTP on the loopback interface, or runs a scenario file.
// Built without the HTTP front (KIV_HOST_HTTP unset), it only runs scenarios
// and prints the API description.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "host.h"
#ifdef KIV_HOST_HTTP
#include "http_front.h"
#include "open_url.h"
#endif
#include "openapi.h"
#include "peers.h"
#include "scenario.h"
#include "signal_watcher.h"

namespace {

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream s;
  s << in.rdbuf();
  *text = s.str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"kivhost: loads kiv plugins and serves them on 127.0.0.1"};
  app.fallthrough();
  // The same options on every system: on Windows "/work/a.kivs" is a path,
  // not an option.
  app.allow_windows_style_options(false);
  std::vector<std::string> plugins;
  std::string hostVersion = kivhost::Version{}.ToString();
  int port = 8080;
  std::string peersFile;
  bool noPeers = false, printPeers = false, noProbe = false, quiet = false, openConsole = false;
  size_t threads = 8, streamThreshold = 4096, streamChunk = 4096;
  std::string listenAddress = "127.0.0.1";
  std::vector<std::string> allowedHosts;
  size_t maxBody = size_t{1} << 20, maxStreams = 32;
  // The version of this build is the plugin API version it offers by default.
  app.set_version_flag("--version", "kivhost " KIV_VERSION " (plugin API " + kivhost::Version{}.ToString() + ")");
  app.add_option("-p,--plugin", plugins,
                 "Plugin library to load, as PATH or PATH=EXPORT (repeatable; default: the chat plugin built beside)");
  app.add_option("--host-version", hostVersion, "Plugin API version the host reports")->capture_default_str();
  app.add_option("--port", port, "HTTP port (0 picks a free one)")->capture_default_str();
  app.add_option("--listen", listenAddress,
                 "Serve on this address instead, on purpose: requests naming it as Host are accepted too")
      ->capture_default_str();
  app.add_option("--allow-host", allowedHosts,
                 "Also accept requests whose Host (and pages whose Origin) is NAME on the served port (repeatable)");
  app.add_option("--max-body", maxBody, "Largest request body in bytes (413 beyond)")->capture_default_str();
  app.add_option("--max-streams", maxStreams, "Event streams open at once (503 beyond)")->capture_default_str();
  app.add_option("--peers", peersFile, "JSON file that seeds the simulated peers");
  app.add_flag("--no-peers", noPeers, "Do not simulate the peers");
  app.add_flag("--print-peers", printPeers, "Print the built-in peers seed and exit");
  app.add_flag("--no-probe", noProbe, "Do not run the version handshake in a child process first");
  app.add_option("--threads", threads, "Threads that run HTTP requests' handlers")->capture_default_str();
  app.add_option("--stream-threshold", streamThreshold, "Stream JSON answers to plugins above this many bytes")
      ->capture_default_str();
  app.add_option("--stream-chunk", streamChunk, "Bytes handed out per stream read")
      ->capture_default_str()
      ->check(CLI::Range(size_t{1}, size_t{1} << 20));
  app.add_flag("-q,--quiet", quiet, "Do not print log lines");
  app.add_flag("--open", openConsole, "Open the web console in the desktop's browser once serving");
  std::string scenarioFile;
  CLI::App* script = app.add_subcommand("script", "Run a scenario file and exit (0 met, 1 failed, 2 broken)");
  script->add_option("file", scenarioFile, "Scenario file")->required();
  CLI::App* api = app.add_subcommand("api", "Print the loaded plugins' API description and exit");
  CLI::App* openapi = app.add_subcommand(
      "openapi", "Print the loaded plugins' OpenAPI document (its server: 127.0.0.1 and --port) and exit");
  app.require_subcommand(0, 1);
#ifndef KIV_HOST_HTTP
  app.footer("This kivhost was built without its HTTP front: give it 'script FILE', 'api' or 'openapi'.");
#endif
  CLI11_PARSE(app, argc, argv);
#ifndef KIV_HOST_HTTP
  // Checked before any plugin loads, so that the refusal costs nothing.
  if (!printPeers && !script->parsed() && !api->parsed() && !openapi->parsed()) {
    std::fprintf(stderr, "kivhost: built without the HTTP front; it can only run 'script FILE', 'api' or 'openapi'\n");
    return 2;
  }
  (void)openConsole;
  (void)threads;
  (void)maxBody;
  (void)maxStreams;
#endif

  if (printPeers) {
    std::fputs(kivhost::DefaultPeerSeed(), stdout);
    return 0;
  }
  kivhost::HostOptions options;
  if (!kivhost::Version::Parse(hostVersion, &options.version)) {
    std::fprintf(stderr, "kivhost: --host-version wants MAJOR[.MINOR[.PATCH]], not '%s'\n", hostVersion.c_str());
    return 2;
  }
  options.probeHandshake = !noProbe;
  options.simulatePeers = !noPeers;
  options.streamThreshold = streamThreshold;
  options.streamChunk = streamChunk;
  options.logStream = quiet ? nullptr : stdout;
  if (!peersFile.empty()) {
    std::string text, why;
    if (!ReadFile(peersFile, &text)) {
      std::fprintf(stderr, "kivhost: cannot read %s\n", peersFile.c_str());
      return 2;
    }
    if (!kivhost::ParseJson(text, &options.peerSeed, &why)) {
      std::fprintf(stderr, "kivhost: %s is not valid JSON: %s\n", peersFile.c_str(), why.c_str());
      return 2;
    }
  }
  if (plugins.empty()) plugins.push_back(KIV_DEFAULT_PLUGIN);

  kivhost::SignalWatcher signals;
  int status = 0;
  {
    kivhost::Host host(options);
    bool loaded = true;
    for (const std::string& entry : plugins) {
      const size_t eq = entry.rfind('=');
      const std::string path = eq == std::string::npos ? entry : entry.substr(0, eq);
      const std::string exportName = eq == std::string::npos ? "" : entry.substr(eq + 1);
      if (!host.Load(path, exportName).ok) loaded = false;
    }
    std::string why;
    if (!host.Initialize(&why)) loaded = false;
    if (!loaded) {
      std::fprintf(stderr, "kivhost: not every plugin could be loaded and initialized; see above\n");
      host.Shutdown();
      return script->parsed() ? 2 : 1;
    }

    if (api->parsed()) {
      kivhost::json description = host.DescribeApi();
      description["subscriptions"] = host.Subscriptions();
      std::printf("%s\n", kivhost::DumpJson(description, 2).c_str());
    } else if (openapi->parsed()) {
      const std::string server = "http://127.0.0.1:" + std::to_string(port);
      std::printf("%s\n", kivhost::DumpJson(kivhost::OpenApiDocument(host.DescribeApi(), server), 2).c_str());
    } else if (script->parsed()) {
      kivhost::ScenarioRunner runner(host, stdout);
      runner.SetStopFlag(&signals.stopFlag());
      signals.OnSignal([&signals] { signals.RequestStop(); });
      status = runner.RunFile(scenarioFile).ExitCode();
    } else {
#ifdef KIV_HOST_HTTP
      kivhost::HttpFront::Options frontOptions;
      frontOptions.threads = threads;
      frontOptions.allowedHosts = allowedHosts;
      frontOptions.maxBody = maxBody;
      frontOptions.maxStreams = maxStreams;
      kivhost::HttpFront front(host, frontOptions);
      const std::string shown =
          listenAddress.find(':') != std::string::npos ? "[" + listenAddress + "]" : listenAddress;
      if (front.Bind(listenAddress, port) < 0) {
        std::fprintf(stderr, "kivhost: cannot listen on %s:%d\n", shown.c_str(), port);
        status = 1;
      } else {
        // A wildcard address is reached through the loopback one.
        std::string reach = shown;
        if (listenAddress == "0.0.0.0") reach = "127.0.0.1";
        if (listenAddress == "::") reach = "[::1]";
        const std::string base = "http://" + reach + ":" + std::to_string(front.port());
        std::string names;
        for (const std::string& name : host.PluginNames()) names += (names.empty() ? "" : ", ") + name;
        std::printf(
            "Serving %s on http://%s:%d; stop with Ctrl-C\n"
            "  console  %s/\n  OpenAPI  %s/openapi.json\n  events   %s/events\n  API      %s/api\n",
            names.c_str(), shown.c_str(), front.port(), base.c_str(), base.c_str(), base.c_str(), base.c_str());
        std::fflush(stdout);
        std::string why;
        if (openConsole && !kivhost::OpenInBrowser(base + "/", &why)) {
          std::fprintf(stderr, "kivhost: cannot open a browser (%s); open %s/ yourself\n", why.c_str(), base.c_str());
        }
        signals.OnSignal([&front] { front.Stop(); });
        if (!front.Serve() && signals.received() == 0) status = 1;
        signals.OnSignal(nullptr);
        front.Stop();
      }
#endif
    }
    host.Shutdown();
  }
  return status;
}
