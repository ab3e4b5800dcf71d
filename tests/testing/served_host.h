// A host with the fake plugin loaded and initialized, served by an HTTP front
// on a loopback port of the system's choosing, for the front's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "host.h"
#include "http_front.h"

namespace kivhost {

class ServedHostTest : public ::testing::Test {
 protected:
  // Fixtures that test the front's limits narrow them here. The heartbeat is
  // what lets a stream's client that wants to leave see data and return.
  virtual HttpFront::Options FrontOptions() {
    HttpFront::Options o;
    o.heartbeat = std::chrono::milliseconds(250);
    return o;
  }

  void SetUp() override {
    HostOptions o;
    o.logStream = nullptr;
    host = std::make_unique<Host>(o);
    ASSERT_TRUE(host->Load(KIV_FAKE_PLUGIN).ok);
    ASSERT_TRUE(host->Initialize());
    front = std::make_unique<HttpFront>(*host, FrontOptions());
    port = front->Bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    front->Start();
  }
  void TearDown() override {
    front.reset();
    host.reset();
  }
  // The Host header line a client of this front sends.
  std::string HostLine() const { return "Host: 127.0.0.1:" + std::to_string(port) + "\r\n"; }

  std::unique_ptr<Host> host;
  std::unique_ptr<HttpFront> front;
  int port = 0;
};

}  // namespace kivhost
