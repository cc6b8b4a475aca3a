// The dev certificates: a CA, a server certificate for localhost and 127.0.0.1, and a client
// certificate, written by scripts/dev-certs (openssl command line).
#pragma once

#include <string>

namespace stavo::devserver {

struct DevCerts {
  std::string dir;
  std::string ca() const { return dir + "/ca.pem"; }
  std::string server_cert() const { return dir + "/server.pem"; }
  std::string server_key() const { return dir + "/server-key.pem"; }
  std::string client_cert() const { return dir + "/client.pem"; }
  std::string client_key() const { return dir + "/client-key.pem"; }
  // Client certificate, its key and the CA certificate in one PEM file.
  std::string client_bundle() const { return dir + "/client-bundle.pem"; }
};

// The script that came with this program: the installed one (share/stavo/dev-certs beside the
// program's bin/), else, for programs run from the build tree, the checkout's scripts/dev-certs.
std::string default_cert_script();

// Makes sure `dir` holds the certificates, running `script DIR` when any is missing; throws
// std::runtime_error when the script fails.
DevCerts ensure_dev_certs(const std::string &dir, const std::string &script = {});

}  // namespace stavo::devserver
