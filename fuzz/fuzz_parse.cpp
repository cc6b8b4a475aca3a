// Mapped parse: a document fed one byte at a time, or in random slices, gives the same status,
// message, position and record as the whole buffer at once; BRINDLE_ALLOCATION_FAILED comes only
// from an allocator that refused.
#include "fuzz_support.h"

namespace {

struct Outcome {
  std::string error;
  std::string record;
  std::string stream;
};

Outcome parse(const char *doc, size_t size, fuzz::Slicer *slicer, bool reject_duplicates,
              bool shallow) {
  Outcome outcome;
  fuzz::Everything record;
  fuzz::prepare(&record, &outcome.stream);
  brindle_parse_options options = fuzz::parse_options(reject_duplicates);
  if (shallow) options.max_depth = 3;
  brindle_error error;
  brindle_error_init(&error);
  brindle_status status;
  if (slicer == nullptr) {
    status = brindle_parse_buffer(&fuzz::kParseMap, &record, doc, size, &options, &error);
  } else {
    fuzz::SliceReader reader{doc, size, 0, slicer, false, false};
    status = brindle_parse_reader(&fuzz::kParseMap, &record, fuzz::SliceReader::read, &reader,
                                  &options, &error);
  }
  outcome.error = "status=" + std::to_string(status) + " " + fuzz::describe(error);
  outcome.record = fuzz::written(&fuzz::kWriteMap, &record);
  brindle_cleanup(&fuzz::kParseMap, &record);
  return outcome;
}

// With allocations failing part way, the parse reports exactly that and the record can still be
// cleaned up (the leak checker sees anything left behind).
void parse_with_budget(const char *doc, size_t size, int allowed, const Outcome &whole,
                       bool reject_duplicates) {
  fuzz::Budget budget{allowed, false};
  const brindle_allocator allocator = budget.allocator();
  std::string strings;
  fuzz::Everything record;
  fuzz::prepare(&record, &strings);
  brindle_parse_options options = fuzz::parse_options(reject_duplicates);
  options.allocator = &allocator;
  brindle_error error;
  brindle_error_init(&error);
  const brindle_status status =
      brindle_parse_buffer(&fuzz::kParseMap, &record, doc, size, &options, &error);
  brindle_cleanup(&fuzz::kParseMap, &record);
  if (budget.hit) {
    fuzz::expect(status == BRINDLE_ALLOCATION_FAILED, "failed allocation gives its status",
                 fuzz::describe(error));
  } else {
    fuzz::expect_same("parse with an unused budget", whole.error,
                      "status=" + std::to_string(status) + " " + fuzz::describe(error));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const bool reject_duplicates = size > 0 && (data[0] & 2u) != 0;
  const bool shallow = size > 0 && (data[0] & 4u) != 0;
  fuzz::Slicer slicer = fuzz::Slicer::from_prefix(data, size);
  const char *doc = reinterpret_cast<const char *>(data);
  const Outcome whole = parse(doc, size, nullptr, reject_duplicates, shallow);
  // The default allocator does not fail here: strings of any length fit (they leave the
  // workspace for the heap), and an over-long key or number is a workspace overflow.
  const std::string no_memory = "status=" + std::to_string(BRINDLE_ALLOCATION_FAILED) + " ";
  if (whole.error.rfind(no_memory, 0) == 0) {
    fuzz::fail("allocation failure without a failing allocator", whole.error, "");
  }
  const Outcome sliced = parse(doc, size, &slicer, reject_duplicates, shallow);
  fuzz::expect_same("parse status and error", whole.error, sliced.error);
  fuzz::expect_same("parsed record", whole.record, sliced.record);
  fuzz::expect_same("streamed strings", whole.stream, sliced.stream);
  if (!shallow) parse_with_budget(doc, size, static_cast<int>(size % 7), whole, reject_duplicates);
  return 0;
}
