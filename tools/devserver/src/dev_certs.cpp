#include "devserver/dev_certs.h"

#include <sys/stat.h>

#include <filesystem>
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
  // Installed, the script sits at a fixed place relative to the program (bin/ and share/stavo/).
  std::error_code ignored;
  std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ignored);
  if (!program.empty()) {
    std::filesystem::path beside =
        (program.parent_path() / DEVSERVER_CERT_SCRIPT_FROM_PROGRAM).lexically_normal();
    if (exists(beside.string())) return beside.string();
  }
  // Run from the build tree (the program or a test): the checkout's copy.
  return DEVSERVER_SOURCE_CERT_SCRIPT;
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
  if (!exists(program)) {
    throw std::runtime_error("the certificate script " + program +
                             " is missing (give one with --cert-script)");
  }
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
