// Compiled with -fsyntax-only by every C++ compiler and standard the build checks: includes the
// C++ header alone and instantiates its templates, so a warning in any of them fails the check.
#include <stavoc.hpp>

#include <array>
#include <string_view>

namespace {

struct Point {
  int64_t x;
  int64_t y;
};

[[maybe_unused]] void instantiate(stavo::Client &client, stavo::LeaseRef &lease,
                                  const brindle_map &map) {
  stavo::Status status;
  client.subscribe("q", stavo::DequeueOptions{}, [](stavo::MessageRef &message) { message.ack(); });
  client.subscribe(
      "q", stavo::DequeueOptions{}, [](stavo::MessageRef &) {}, status, true);
  client.watch_queue("q", [](const stavo::WatchEvent &event) { return event.available; });
  client.query_keys("{}", stavo::QueryOptions{}, [](std::string_view key) { return !key.empty(); });
  stavo::Mapped<Point> point = stavo::load<Point>(lease, map);
  stavo::save(lease, point);
  stavo::save(lease, map, point.value, status);
  const std::array<unsigned char, 2> bytes{{1, 2}};
  stavo::Source source = stavo::Source::from_buffer(bytes);
}

}  // namespace

int main() {
  return 0;
}
