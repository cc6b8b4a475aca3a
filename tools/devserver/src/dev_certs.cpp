#include "devserver/dev_certs.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "process.h"

namespace stavo::devserver {

namespace {
bool exists(const std::string &path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}
}  // namespace

std::string default_cert_script() {
  return DEVSERVER_DEFAULT_CERT_SCRIPT;
}

DevCerts ensure_dev_certs(const std::string &dir, const std::string &script) {
  DevCerts certs{dir};
  bool complete = true;
  for (const auto &path : {certs.ca(), certs.server_cert(), certs.server_key(), certs.client_cert(),
                           certs.client_key(), certs.client_bundle()}) {
    complete = complete && exists(path);
  }
  if (complete) return certs;
  std::string program = script.empty() ? default_cert_script() : script;
  ::mkdir(dir.c_str(), 0700);
  std::string output = dir + "/dev-certs.log";
  int status = wait_process(spawn_process({"/bin/sh", program, dir}, output));
  if (status != 0) {
    std::ifstream log(output);
    std::stringstream text;
    text << log.rdbuf();
    throw std::runtime_error(program + " " + dir + " failed (" + std::to_string(status) +
                             "): " + text.str());
  }
  return certs;
}

}  // namespace stavo::devserver
