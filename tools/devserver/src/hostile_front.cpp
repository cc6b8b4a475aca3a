#include "server_impl.h"

namespace stavo::devserver {

std::function<RecordingFront::Answer(const RawHead &)> hostile_interceptor(HostileTable &table) {
  return [&table](const RawHead &head) -> RecordingFront::Answer {
    const std::optional<HostileMode> mode = table.take(head.method, head.target);
    if (!mode) return {};
    return [mode = *mode](int fd, bool (*keep_going)(void *), void *context) {
      send_hostile_answer(fd, mode, keep_going, context);
    };
  };
}

}  // namespace stavo::devserver
