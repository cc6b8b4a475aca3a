// The fixture of the C++ interface tests: a dev server in the test process and a stavo::Client
// opened on it over plain HTTP.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "stavoc.hpp"
#include "support/dev_server.h"

namespace cpp_test {

using stavo::test::DevServer;
using stavo::test::DevServerOptions;

inline stavo::ClientOptions options_for(const DevServer &server) {
  stavo::ClientOptions options;
  options.endpoints = {server.http_url()};
  options.disable_mtls = true;
  return options;
}

inline stavo::AcquireOptions owner(const char *name, int64_t ttl_seconds = 30) {
  stavo::AcquireOptions options;
  options.owner = name;
  options.ttl_seconds = ttl_seconds;
  return options;
}

class CppFixture : public ::testing::Test {
 protected:
  explicit CppFixture(DevServerOptions options = {})
      : server_(std::make_unique<DevServer>(options)), client_(options_for(*server_)) {}
  ~CppFixture() override {
    client_ = stavo::Client();
    server_.reset();
  }
  std::unique_ptr<DevServer> server_;
  stavo::Client client_;
};

}  // namespace cpp_test
