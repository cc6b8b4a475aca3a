// What the C++ examples share: the common command line of the examples (example_common.h) as
// the options of a stavo::Client, and a main that reports a stavo::Error.
#ifndef STAVO_CPP_EXAMPLE_HPP
#define STAVO_CPP_EXAMPLE_HPP

#include <stavoc.hpp>

#include <cstdio>
#include <string>

#include "../example_common.h"

inline stavo::ClientOptions client_options(const example_options &options) {
  stavo::ClientOptions client;
  client.endpoints = {options.endpoint};
  if (options.bundle != nullptr) {
    client.client_bundle_path = options.bundle;  // our certificate, its key and the server's CA
  } else {
    client.disable_mtls = true;
  }
  if (options.namespace_name != nullptr) client.default_namespace = options.namespace_name;
  client.timeout_ms = options.timeout_ms;
  return client;
}

// Parses the command line, opens a client and runs body(client), whose result is the exit
// status; a stavo::Error is reported with its code, HTTP status and server error, and exits 1.
template <typename Body>
int run_example(int argc, char **argv, const char *name, Body body) {
  example_options parsed;
  const std::string usage = std::string("usage: ") + name + " [--endpoint URL] [--bundle PATH]\n";
  if (example_parse_args(argc, argv, &parsed, nullptr, nullptr, usage.c_str()) != 0) return 2;
  try {
    stavo::Client client(client_options(parsed));
    return body(client);
  } catch (const stavo::Error &error) {
    std::fprintf(stderr, "%s: %s (code %d, HTTP %lld, %s)\n", name, error.what(), error.code(),
                 static_cast<long long>(error.http_status()), error.server_error_code().c_str());
    return 1;
  }
}

#endif
