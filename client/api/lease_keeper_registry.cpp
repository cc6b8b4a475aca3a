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
    r.kept[lease] = kept;
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
