// RapidJSON with its SSE2 scanning, x86-64's baseline (the build sets RAPIDJSON_SSE2 for every
// file of the bench that includes RapidJSON, so that all of them agree on its templates).
#define RAPID_PEER_NS rapid_sse2_peer
#include "rapid_peer_impl.h"
#include "registry.h"

namespace bench {

const RapidPeer &rapid_sse2() {
  static const RapidPeer peer{kRapidColumn, rapid_sse2_peer::parse, rapid_sse2_peer::validate,
                              rapid_sse2_peer::serialize};
  return peer;
}

}  // namespace bench
