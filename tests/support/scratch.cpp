#include "support/scratch.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>

namespace stavo::test {
namespace {

class ScratchDirectory {
 public:
  ~ScratchDirectory() {
    // A forked child that exits through the normal path must not remove its parent's files.
    if (path_.empty() || owner_ != getpid()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::string &path() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (path_.empty()) {
      const char *tmp = std::getenv("TMPDIR");
      std::string pattern =
          std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/stavo-test-XXXXXX";
      if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
      path_ = pattern;
      owner_ = getpid();
    }
    return path_;
  }

 private:
  std::mutex mutex_;
  std::string path_;
  pid_t owner_ = 0;
};

ScratchDirectory scratch;

}  // namespace

std::string scratch_path(const std::string &name) {
  return scratch.path() + "/" + name;
}

}  // namespace stavo::test
