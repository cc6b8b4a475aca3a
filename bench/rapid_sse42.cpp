// RapidJSON with its SSE4.2 scanning, in a namespace of its own. This file is compiled with
// -msse4.2 only when the build machine runs SSE4.2 code (BRINDLE_BENCH_SSE42); the column is
// still checked against the CPU at run time.
#include "rapid_peer.h"
#include "registry.h"

#ifdef BRINDLE_BENCH_SSE42
#undef RAPIDJSON_SSE2
#define RAPIDJSON_SSE42
#define RAPIDJSON_NAMESPACE rapidjson_sse42
#define RAPIDJSON_NAMESPACE_BEGIN namespace rapidjson_sse42 {
#define RAPIDJSON_NAMESPACE_END }
#define RAPID_PEER_NS rapid_sse42_peer
#include "rapid_peer_impl.h"
#endif

namespace bench {

const RapidPeer *rapid_sse42(const char **why) {
#ifdef BRINDLE_BENCH_SSE42
  if (!__builtin_cpu_supports("sse4.2")) {
    *why = "this CPU lacks SSE4.2";
    return nullptr;
  }
  static const RapidPeer peer{kRapid42Column, rapid_sse42_peer::parse, rapid_sse42_peer::validate,
                              rapid_sse42_peer::serialize};
  return &peer;
#else
  *why = "the bench was built without SSE4.2 (BRINDLE_BENCH_SSE42 off)";
  return nullptr;
#endif
}

}  // namespace bench
