// The state of one streaming pass of one mutation, and the visitor that drives it.
#ifndef STAVOC_MUTATE_APPLY_PASS_H
#define STAVOC_MUTATE_APPLY_PASS_H

#include "mutation_internal.h"

namespace sv_mutation_impl {

// Containers open at once, and entries of the current path.
constexpr size_t kMaxFrames = 128;

struct Frame {
  bool is_array;
  size_t path_length;   // length of the current path at the container itself
  unsigned long count;  // elements seen (arrays)
  bool first;           // no separator written yet
  bool found;           // a member named like the target's next segment was seen (objects)
  bool on_target;       // the container's path is a prefix of the target
  bool has_key;         // key holds the current member key (objects)
  char *key;            // owned, kept across uses of the slot
  size_t key_capacity;
  char index[32];  // current element index as text (arrays)
};

struct Growable {
  char *data;
  size_t size;
  size_t capacity;
};

struct Pass {
  ValueOutput output;
  const sv_mutation *mutation;
  const char **path;  // kMaxFrames entries
  size_t path_length;
  Frame frames[kMaxFrames];
  size_t depth;
  size_t skip;           // > 0 while an input value is dropped
  bool value_on_target;  // the value being entered lies on the target's path
  bool key_active;
  bool number_target;  // the current number is the increment's target
  bool root_done;
  bool failed;   // a callback stopped the walk (its message is in the brindle error)
  bool applied;  // the set or increment reached its target (or created it)
  // The deepest value on the target's path that is not an object (0: none): where a path that
  // cannot be applied stops, for the error.
  size_t blocked_length;
  int blocked_kind;
  Growable key;
  Growable number;
  sv_error value_error;  // the failure of a value writer or output write
};

brindle_value_visitor pass_visitor() noexcept;
// After a complete walk: a set or increment that never reached its target fails, naming the
// path and the value in the way.
int pass_check_applied(const Pass *pass, sv_error *error) noexcept;
// Frees what the pass owns (not the output).
void pass_cleanup(Pass *pass) noexcept;

}  // namespace sv_mutation_impl

#endif
