// The corpus documents and the record each is parsed into. A Target owns one record of the
// document's map plus the collectors of its unmapped parts, and computes the summary (record
// count and checksum) that every parser's result is compared by.
#pragma once

#include <brindle.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "collectors.h"
#include "store.h"

namespace bench {

// kWide is generated (wide.cpp) and needs no corpus.
enum class Doc { kTwitter, kCitm, kCanada, kWide };
constexpr Doc kDocs[] = {Doc::kTwitter, Doc::kCitm, Doc::kCanada, Doc::kWide};

const char *doc_name(Doc doc);

// The corpus folder: --corpus=DIR, else $BRINDLE_CORPUS, else the folder beside the checkout.
void set_corpus_dir(std::string dir);
const std::string &corpus_dir();
// The document's bytes, read once; NULL with *why set when the file cannot be read.
const std::string *doc_bytes(Doc doc, std::string *why);

struct Summary {
  uint64_t objects = 0;
  uint64_t hash = 0;
  bool operator==(const Summary &) const = default;
  std::string text() const;
};

class Target {
 public:
  explicit Target(Doc doc);
  ~Target();
  Target(const Target &) = delete;
  Target &operator=(const Target &) = delete;

  const brindle_map *map() const { return map_; }
  void *record() { return storage_.get(); }
  Hooks hooks() const { return {hooks_, hook_count_}; }

  // Peer parsers: a zeroed record before, free_record after.
  void prepare_peer();
  void release_peer();
  // brindle: brindle_init and the JSON value visitors before, brindle_cleanup after.
  bool prepare_brindle();
  void release_brindle();

  Summary summary() const;

 private:
  const brindle_map *map_;
  std::unique_ptr<std::max_align_t[]> storage_;
  EventsCollector events_;
  CoordsCollector coords_;
  Hook hooks_[1];
  size_t hook_count_ = 0;
  std::unique_ptr<VisitorBridge> bridge_;
};

}  // namespace bench
