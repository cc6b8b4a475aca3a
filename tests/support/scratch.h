// A scratch directory for the files a test process writes (bundles with private keys among
// them): one per process, created on first use and removed with everything in it at exit.
#pragma once

#include <string>

namespace stavo::test {

// A path for `name` inside this process's scratch directory (the name is not created).
std::string scratch_path(const std::string &name);

}  // namespace stavo::test
