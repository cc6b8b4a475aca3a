// Corpus access and parse targets.
#include "target.h"

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "records.h"

namespace bench {

const char *doc_name(Doc doc) {
  switch (doc) {
    case Doc::kTwitter:
      return "twitter";
    case Doc::kCitm:
      return "citm_catalog";
    case Doc::kCanada:
      return "canada";
    case Doc::kWide:
      return "wide_shuffled";
  }
  return "?";
}

namespace {
std::string &corpus_storage() {
  static std::string dir;
  return dir;
}
}  // namespace

void set_corpus_dir(std::string dir) {
  corpus_storage() = std::move(dir);
}
const std::string &corpus_dir() {
  return corpus_storage();
}

const std::string *doc_bytes(Doc doc, std::string *why) {
  static std::map<Doc, std::string> loaded;
  auto found = loaded.find(doc);
  if (found != loaded.end()) return &found->second;
  if (doc == Doc::kWide) return &loaded.emplace(doc, wide_document()).first->second;
  const std::string path = corpus_dir() + "/nativejson/" + doc_name(doc) + ".json";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = "corpus file " + path + " not found (set BRINDLE_CORPUS or --corpus=DIR)";
    return nullptr;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return &loaded.emplace(doc, text.str()).first->second;
}

std::string Summary::text() const {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%" PRIu64 " items, checksum %016" PRIx64, objects, hash);
  return buffer;
}

Target::Target(Doc doc) {
  switch (doc) {
    case Doc::kTwitter:
      map_ = &kTwRootMap;
      break;
    case Doc::kCitm:
      map_ = &kCtRootMap;
      hooks_[0] = {&kCtRootMap.fields[0], &events_};
      hook_count_ = 1;
      break;
    case Doc::kCanada:
      map_ = &kCaRootMap;
      hooks_[0] = {&kCaRootMap.fields[1], &coords_};
      hook_count_ = 1;
      break;
    case Doc::kWide:
      map_ = &wide_root_map();
      break;
  }
  const size_t words =
      (map_->struct_size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
  storage_.reset(new std::max_align_t[words]());
  if (hook_count_ > 0) bridge_ = std::make_unique<VisitorBridge>(hooks_[0].consumer);
}

Target::~Target() = default;

void Target::prepare_peer() {
  std::memset(record(), 0, map_->struct_size);
  events_.clear();
  coords_.clear();
}

void Target::release_peer() {
  free_record(map_, record());
}

bool Target::prepare_brindle() {
  brindle_init(map_, record());
  events_.clear();
  coords_.clear();
  if (hook_count_ == 0) return true;
  auto *value = reinterpret_cast<brindle_json_value *>(field_ptr(record(), hooks_[0].field));
  return brindle_json_value_set_parse_visitor(value, VisitorBridge::visitor(), bridge_.get(),
                                              nullptr, nullptr) == BRINDLE_OK;
}

void Target::release_brindle() {
  brindle_cleanup(map_, record());
}

Summary Target::summary() const {
  Checksum sum;
  checksum_record(map_, storage_.get(), &sum);
  events_.checksum(&sum);
  coords_.checksum(&sum);
  return {sum.objects, sum.hash};
}

}  // namespace bench
