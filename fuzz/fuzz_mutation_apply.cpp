// Differential fuzzing of local mutation: a JSON object and a list of mutations are generated
// from the input bytes; the mutations are written as expressions, built into a plan and applied
// by the streaming passes, and also applied to a tree with nlohmann-json by the same rules (set,
// increment, remove, synthesised members, exact integer increments, and sets or increments
// whose path runs through a scalar or an array refused). Any difference in output or in
// failure aborts with both sides.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "stavoc_mutate.h"

namespace {

using Json = nlohmann::ordered_json;

// Input bytes, one at a time; 0 once they run out.
struct Bytes {
  const uint8_t *data;
  size_t size;
  size_t at = 0;
  uint8_t next() { return at < size ? data[at++] : 0; }
  bool done() const { return at >= size; }
};

const char *const kKeys[] = {"a", "b", "c", "0", "1", "10", "a/b", "~", "q\"", "sp ace", "x{"};
constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];
const char *const kStrings[] = {"", "x", "tab\there", "quote\"back\\slash", "\xc3\xa9", "\x01"};
const double kDoubles[] = {1.5, -0.25, 1000.5, 0.125, -3.75};
const int64_t kIntegers[] = {0, 1, -3, 17, 4096, INT64_MAX, INT64_MIN, 9007199254740993};

Json generate_value(Bytes *in, int depth);

Json generate_object(Bytes *in, int depth) {
  Json object = Json::object();
  const int count = in->next() % 4;
  for (int i = 0; i < count; ++i) {
    const char *key = kKeys[in->next() % kKeyCount];
    object[key] = generate_value(in, depth + 1);
  }
  return object;
}

Json generate_value(Bytes *in, int depth) {
  const int kind = in->next() % (depth < 5 ? 8 : 6);
  switch (kind) {
    case 0:
      return kStrings[in->next() % 6];
    case 1:
      return kIntegers[in->next() % 8];
    case 2:
      return kDoubles[in->next() % 5];
    case 3:
      return in->next() % 2 == 0;
    case 4:
      return nullptr;
    case 5:
      return kStrings[1];
    case 6:
      return generate_object(in, depth);
    default: {
      Json array = Json::array();
      const int count = in->next() % 4;
      for (int i = 0; i < count; ++i)
        array.push_back(generate_value(in, depth + 1));
      return array;
    }
  }
}

// The output form: compact, strings escaped like the streaming writer, doubles as %.17g.
void print_string(const std::string &text, std::string *out) {
  out->push_back('"');
  for (const unsigned char c : text) {
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\b':
        *out += "\\b";
        break;
      case '\f':
        *out += "\\f";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          *out += escape;
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}

void print(const Json &value, std::string *out) {
  char number[64];
  switch (value.type()) {
    case Json::value_t::object: {
      out->push_back('{');
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out->push_back(',');
        first = false;
        print_string(it.key(), out);
        out->push_back(':');
        print(it.value(), out);
      }
      out->push_back('}');
      break;
    }
    case Json::value_t::array: {
      out->push_back('[');
      for (size_t i = 0; i < value.size(); ++i) {
        if (i > 0) out->push_back(',');
        print(value[i], out);
      }
      out->push_back(']');
      break;
    }
    case Json::value_t::string:
      print_string(value.get<std::string>(), out);
      break;
    case Json::value_t::boolean:
      *out += value.get<bool>() ? "true" : "false";
      break;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      std::snprintf(number, sizeof number, "%lld", static_cast<long long>(value.get<int64_t>()));
      *out += number;
      break;
    case Json::value_t::number_float:
      std::snprintf(number, sizeof number, "%.17g", value.get<double>());
      *out += number;
      break;
    default:
      *out += "null";
      break;
  }
}

// One generated mutation: what it does and how it is written.
struct Mutation {
  enum Kind { set, increment, remove } kind;
  std::vector<std::string> path;
  Json value;          // for set
  double delta;        // for increment
  bool integer_delta;  // the delta is written as an integer
  std::string expression;
};

std::string encode_segment(const std::string &segment) {
  std::string out;
  for (const char c : segment) {
    if (c == '~') {
      out += "~0";
    } else if (c == '/') {
      out += "~1";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

Mutation generate_mutation(Bytes *in) {
  Mutation m{};
  const int length = 1 + in->next() % 4;
  std::string pointer;
  for (int i = 0; i < length; ++i) {
    m.path.emplace_back(kKeys[in->next() % kKeyCount]);
    pointer += "/" + encode_segment(m.path.back());
  }
  struct SetForm {
    const char *text;
    Json value;
  };
  const SetForm sets[] = {{"x", "x"},         {"' 5'", 5},     {"true", true},
                          {"NULL", nullptr},  {"' 2.5'", 2.5}, {"'a\\b'", "a\\b"},
                          {"' -0.25'", -0.25}};
  struct IncrementForm {
    const char *text;
    double delta;
    bool integer;
  };
  const IncrementForm increments[] = {
      {"++", 1, true}, {"--", -1, true}, {"=2", 2, true}, {"=-0.5", -0.5, false}};
  switch (in->next() % 3) {
    case 0: {
      const SetForm &form = sets[in->next() % 7];
      m.kind = Mutation::set;
      m.value = form.value;
      m.expression = pointer + "=" + form.text;
      break;
    }
    case 1: {
      const IncrementForm &form = increments[in->next() % 4];
      m.kind = Mutation::increment;
      m.delta = form.delta;
      m.integer_delta = form.integer;
      m.expression = pointer + form.text;
      break;
    }
    default:
      m.kind = Mutation::remove;
      m.expression = "rm:" + pointer;
      break;
  }
  return m;
}

// The reference: applies one mutation to the tree, or names the failure.
struct Reference {
  const Mutation &m;
  std::string failure;

  Json new_value() const {
    if (m.kind == Mutation::set) return m.value;
    return m.integer_delta ? Json(static_cast<int64_t>(m.delta)) : Json(m.delta);
  }

  // Sets and increments must reach their target; removals of what is not there do nothing.
  void unreachable() {
    if (m.kind != Mutation::remove) failure = "mutation path cannot be applied";
  }

  // Sets, increments or removes the value at the last segment (value exists).
  void change(Json &container, const Json::iterator &it) {
    if (m.kind == Mutation::set) {
      *it = m.value;
    } else if (m.kind == Mutation::increment) {
      if (!it->is_number()) {
        failure = "increment target is not numeric";
        return;
      }
      if (m.integer_delta && it->is_number_integer()) {
        int64_t sum = 0;
        if (__builtin_add_overflow(it->get<int64_t>(), static_cast<int64_t>(m.delta), &sum)) {
          failure = "increment result overflows a 64-bit integer";
          return;
        }
        *it = sum;
        return;
      }
      const double sum = it->get<double>() + m.delta;
      if (!std::isfinite(sum)) {
        failure = "mutation produced non-finite number";
        return;
      }
      *it = sum;
    } else {
      container.erase(it);
    }
  }

  void into_object(Json &object, size_t k) {
    const std::string &segment = m.path[k];
    auto it = object.find(segment);
    const bool last = k + 1 == m.path.size();
    if (it == object.end()) {
      if (m.kind == Mutation::remove) return;
      Json chain = new_value();
      for (size_t j = m.path.size() - 1; j > k; --j) {
        if (m.path[j][0] >= '0' && m.path[j][0] <= '9') {
          failure = "local mutate cannot create missing array paths";
          return;
        }
        Json wrapper = Json::object();
        wrapper[m.path[j]] = std::move(chain);
        chain = std::move(wrapper);
      }
      object[segment] = std::move(chain);
      return;
    }
    if (last) {
      if (m.kind == Mutation::remove) {
        object.erase(segment);
      } else {
        change(object, it);
      }
      return;
    }
    into(*it, k + 1);
  }

  void into_array(Json &array, size_t k) {
    const std::string &segment = m.path[k];
    size_t index = 0;
    bool canonical = !segment.empty() && segment.size() < 10;
    for (const char c : segment)
      canonical = canonical && c >= '0' && c <= '9';
    if (!canonical || std::to_string(std::stoul(segment)) != segment) return unreachable();
    index = std::stoul(segment);
    if (index >= array.size()) return unreachable();
    if (k + 1 == m.path.size()) {
      if (m.kind == Mutation::remove) {
        array.erase(array.begin() + static_cast<std::ptrdiff_t>(index));
      } else {
        change(array, array.begin() + static_cast<std::ptrdiff_t>(index));
      }
      return;
    }
    into(array[index], k + 1);
  }

  void into(Json &value, size_t k) {
    if (value.is_object()) {
      into_object(value, k);
    } else if (value.is_array()) {
      into_array(value, k);
    } else {
      unreachable();
    }
  }
};

std::string streaming(const std::vector<Mutation> &mutations, const std::string &document,
                      std::string *failure) {
  std::vector<const char *> expressions;
  for (const auto &m : mutations)
    expressions.push_back(m.expression.c_str());
  sv_mutation_plan *plan = nullptr;
  sv_error error;
  sv_error_init(&error);
  if (sv_mutation_plan_build(expressions.data(), expressions.size(), nullptr, &plan, &error) !=
      SV_OK) {
    fuzz::fail("plan build failed", error.message != nullptr ? error.message : "",
               expressions.empty() ? "" : expressions[0]);
  }
  fuzz::expect(sv_mutation_plan_count(plan) == mutations.size(), "plan size");
  FILE *input = std::tmpfile();
  fuzz::expect(input != nullptr, "tmpfile");
  std::fwrite(document.data(), 1, document.size(), input);
  FILE *result = nullptr;
  std::string output;
  if (sv_mutation_plan_apply(plan, input, &result, &error) == SV_OK) {
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, result)) > 0)
      output.append(buffer, got);
    std::fclose(result);
  } else {
    *failure = error.message != nullptr ? error.message : "<no message>";
  }
  std::fclose(input);
  sv_mutation_plan_close(plan);
  sv_error_cleanup(&error);
  return output;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Bytes in{data, size};
  Json document = generate_object(&in, 0);
  std::vector<Mutation> mutations;
  const int count = 1 + in.next() % 4;
  for (int i = 0; i < count; ++i)
    mutations.push_back(generate_mutation(&in));
  std::string input;
  print(document, &input);

  std::string expected_failure;
  for (const auto &m : mutations) {
    Reference reference{m, {}};
    reference.into(document, 0);
    if (!reference.failure.empty()) {
      expected_failure = reference.failure;
      break;
    }
  }
  std::string expected;
  if (expected_failure.empty()) print(document, &expected);

  std::string failure;
  const std::string output = streaming(mutations, input, &failure);
  std::string plan_text;
  for (const auto &m : mutations)
    plan_text += m.expression + "\n";
  if (failure != expected_failure || output != expected) {
    fuzz::fail(("streaming apply differs from the reference; input " + input + "\nmutations:\n" +
                plan_text)
                   .c_str(),
               failure.empty() ? output : "failure: " + failure,
               expected_failure.empty() ? expected : "failure: " + expected_failure);
  }
  return 0;
}
