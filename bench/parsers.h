// One entry per parser under test. Each parse fills target's record (after preparing it) and
// returns false with *why on failure; the caller takes the summary and releases the record.
#pragma once

#include <simdjson.h>

#include <string>

#include "target.h"

namespace bench {

bool parse_brindle(Target &target, const std::string &bytes, std::string *why);
// Through the push parser, fed chunk bytes at a time.
bool parse_brindle_push(Target &target, const std::string &bytes, size_t chunk, std::string *why);
// chunk 0: the whole buffer in one call.
bool parse_yajl(Target &target, const std::string &bytes, size_t chunk, std::string *why);
bool parse_simdjson_dom(Target &target, simdjson::dom::parser &parser,
                        const simdjson::padded_string &bytes, std::string *why);
bool parse_simdjson_od(Target &target, simdjson::ondemand::parser &parser,
                       const simdjson::padded_string &bytes, std::string *why);

// yajl fed chunk bytes at a time with a root array of objects: each element is built into record
// (a zeroed record of map), handed to on_element, and freed.
bool stream_yajl(const brindle_map *map, void *record, const std::string &bytes, size_t chunk,
                 void (*on_element)(void *user, void *record), void *user);

// Syntax checks of the whole document.
bool validate_brindle(const std::string &bytes);
bool validate_yajl(const std::string &bytes);
bool validate_simdjson_dom(simdjson::dom::parser &parser, const simdjson::padded_string &bytes);

}  // namespace bench
