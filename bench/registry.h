// Benchmark names are "<workload>/<column>": the table groups runs of one workload into a row
// and puts each implementation in its column.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <string>

namespace bench {

inline constexpr const char *kBrindleColumn = "brindle";
inline constexpr const char *kRapidColumn = "rapidjson";
inline constexpr const char *kRapid42Column = "rapidjson_sse42";
inline constexpr const char *kYajlColumn = "yajl";
inline constexpr const char *kSimdDomColumn = "simdjson_dom";
inline constexpr const char *kSimdOdColumn = "simdjson_od";

void add_benchmark(const std::string &workload, const char *column,
                   std::function<void(benchmark::State &)> body);

void register_parse_benchmarks();
void register_serialize_benchmarks();
void register_stream_benchmarks();

}  // namespace bench
