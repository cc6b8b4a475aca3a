// Serialization placeholder replaced below.
#include "registry.h"
namespace bench {
void register_serialize_benchmarks() {}
}  // namespace bench
