// Which handles a keeper keeps: one process-wide map from handle to kept record, read by the
// interposed slots, which get nothing but the handle.
#include <mutex>
#include <unordered_map>

#include "lease_keeper_internal.h"

namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<sv_lease *, sv_kept_lease *> kept;
};

Registry &registry() noexcept {
  static Registry instance;
  return instance;
}

}  // namespace

bool sv_keeper_registry_put(sv_lease *lease, sv_kept_lease *kept) noexcept {
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  try {
    // emplace of a whole pair rather than operator[] or insert_or_assign, whose piecewise
    // construction would make this library export std::piecewise_construct (a process-unique
    // symbol that hidden visibility does not hide) in unoptimised builds.
    const auto placed = r.kept.emplace(lease, kept);
    if (!placed.second) placed.first->second = kept;
    return true;
  } catch (...) {
    return false;
  }
}

sv_kept_lease *sv_keeper_registry_find(sv_lease *lease) noexcept {
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const auto found = r.kept.find(lease);
  return found != r.kept.end() ? found->second : nullptr;
}

void sv_keeper_registry_erase(sv_lease *lease) noexcept {
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.kept.erase(lease);
}
