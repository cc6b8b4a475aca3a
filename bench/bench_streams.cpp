#include "registry.h"
namespace bench {
void register_stream_benchmarks() {}
}  // namespace bench
