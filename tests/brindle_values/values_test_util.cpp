// Helpers for the value tests.
#include "values_test_util.h"

#include <dirent.h>
#include <malloc.h>

#include <fstream>
#include <sstream>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its header is not installed with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace values_test {

std::vector<std::string> TempDir::entries() const {
  std::vector<std::string> names;
  DIR *dir = opendir(path_.c_str());
  if (dir == nullptr) return names;
  while (dirent *entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

FilledPipe::FilledPipe(const std::string &content) {
  int fds[2];
  if (pipe(fds) != 0) return;
  size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = write(fds[1], content.data() + written, content.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  close(fds[1]);
  read_fd = fds[0];
}

FilledPipe::~FilledPipe() {
  if (read_fd >= 0) close(read_fd);
}

size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

}  // namespace values_test
