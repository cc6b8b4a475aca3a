// Child processes for the helpers the server starts (nghttpx, the certificate script).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace stavo::devserver {

// Starts argv[0] with its output going to `output_path` (appended; /dev/null when empty). The child
// gets SIGTERM when the thread that started it ends, so nothing outlives a crashed parent. Throws
// std::runtime_error naming the program and the system's reason when it cannot be run at all.
pid_t spawn_process(const std::vector<std::string> &argv, const std::string &output_path);

// Waits for the child; its exit status (or 128 + signal).
int wait_process(pid_t pid);
// True when it has exited (reaped, *status filled).
bool process_exited(pid_t pid, int *status);

}  // namespace stavo::devserver
