// The benchmark's dev server runs in a child process (forked before any thread exists), so the
// memory it holds for large states never counts towards the client's measured peak.
#pragma once

#include <sys/types.h>

#include <string>

namespace stavoc_bench {

struct ServerProcess {
  pid_t pid = -1;
  int keep_alive_fd = -1;   // the child serves until this pipe closes
  std::string http_url;     // plain HTTP/1.1, straight to the server
  std::string https_url;    // TLS (h2 or http/1.1 by ALPN, client certificate) through nghttpx
  std::string bundle_path;  // client certificate, key and CA in one PEM file
  std::string cert_path;
  std::string key_path;
  std::string ca_path;
};

// Forks the server; returns false (with why) when it did not come up. Call it first in main.
bool start_server(ServerProcess &server, std::string &why);
// Closes the pipe and waits for the child.
void stop_server(ServerProcess &server);

}  // namespace stavoc_bench
