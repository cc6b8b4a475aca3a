// RapidJSON as a peer, built the way its users build it: NDEBUG and its SIMD scanning switched
// on. The same code is compiled twice, once with RAPIDJSON_SSE2 (every x86-64 CPU has it) and,
// when the bench is built for a CPU with SSE4.2, once more with RAPIDJSON_SSE42 in a namespace of
// its own so that the two copies of RapidJSON's templates cannot be confused by the linker.
#pragma once

#include <string>

#include "target.h"

namespace bench {

struct RapidPeer {
  const char *column;
  // SAX Reader with full precision, driving the same record builder as the other peers.
  bool (*parse)(Target &target, const std::string &bytes, std::string *why);
  // Reader with an empty handler: syntax only.
  bool (*validate)(const std::string &bytes);
  // Writer or PrettyWriter (indent of two spaces) writing the record of target.
  std::string (*serialize)(const Target &target, bool pretty);
};

const RapidPeer &rapid_sse2();
// NULL when the bench was built without the SSE4.2 copy or this CPU lacks SSE4.2; *why says which.
const RapidPeer *rapid_sse42(const char **why);

}  // namespace bench
