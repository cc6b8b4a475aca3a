// What the C++ examples share: the common command line of the examples (example_common.h) as
// the options of a stavo::Client.
#ifndef STAVO_CPP_EXAMPLE_HPP
#define STAVO_CPP_EXAMPLE_HPP

#include <stavoc.hpp>

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

#endif
