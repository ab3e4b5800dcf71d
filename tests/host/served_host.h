// A host with the fake plugin loaded and initialized, served by an HTTP front
// on a loopback port of the system's choosing, for the front's tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "host.h"
#include "http_front.h"

namespace kivhost {

class ServedHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostOptions o;
    o.logStream = nullptr;
    host = std::make_unique<Host>(o);
    ASSERT_TRUE(host->Load(KIV_FAKE_PLUGIN).ok);
    ASSERT_TRUE(host->Initialize());
    front = std::make_unique<HttpFront>(*host, 8);
    port = front->Bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    front->Start();
  }
  void TearDown() override {
    front.reset();
    host.reset();
  }
  std::unique_ptr<Host> host;
  std::unique_ptr<HttpFront> front;
  int port = 0;
};

}  // namespace kivhost
