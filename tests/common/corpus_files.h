// The shared test corpus, read at run time: its directory and whole files from it. Tests that
// need a file skip when it is absent.
#ifndef STAVO_TESTS_COMMON_CORPUS_FILES_H
#define STAVO_TESTS_COMMON_CORPUS_FILES_H

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace stavo_test {

// The corpus directory the build gives, or STAVO_CORPUS_DIR from the environment when the build's
// path does not exist (a worktree outside the usual layout).
inline std::string corpus_dir() {
  const std::string built = STAVO_CORPUS_DIR;
  if (DIR *dir = opendir(built.c_str())) {
    closedir(dir);
    return built;
  }
  const char *override_dir = std::getenv("STAVO_CORPUS_DIR");
  return override_dir != nullptr ? override_dir : built;
}

// The whole file at path into *text; false when it cannot be read.
inline bool read_file(const std::string &path, std::string *text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return true;
}

}  // namespace stavo_test

#endif  // STAVO_TESTS_COMMON_CORPUS_FILES_H
