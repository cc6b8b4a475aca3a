// The slots of a kept lease: every operation first takes what the keeper's thread left for the
// caller (a renewed expiry into the view, or the lease's loss as the call's failure), on the
// caller's own thread, then runs the original slot. Release and close also take the lease out
// of the keeper once the handle is gone.
#include <tuple>
#include <type_traits>
#include <utility>

#include "lease_internal.h"
#include "lease_keeper_internal.h"

namespace {

// What the caller's thread does before an operation: SV_OK to go on, or the loss.
int take_pending(sv_kept_lease *kept, sv_lease *self, sv_error *error) noexcept {
  std::lock_guard<std::mutex> lock(kept->state_mutex);
  if (kept->lost) {
    sv_keeper_copy_error(error, &kept->lost_error, nullptr);
    return kept->lost_error.code;
  }
  if (kept->pending_expiry > 0) {
    sv_lease_impl *impl = sv_lease_impl_of(self);
    if (kept->pending_expiry > impl->expires_at_unix) impl->expires_at_unix = kept->pending_expiry;
    kept->pending_expiry = 0;
    sv_lease_sync_view(impl);
  }
  return SV_OK;
}

template <typename Slot>
struct Interposer;

// One interposer per slot signature and member; the error record is every slot's last
// argument.
template <typename... Args>
struct Interposer<int (*)(sv_lease *, Args...)> {
  using Slot = int (*)(sv_lease *, Args...);
  template <Slot sv_lease::*Member>
  static int call(sv_lease *self, Args... args) noexcept {
    sv_error *error = std::get<sizeof...(Args) - 1>(std::forward_as_tuple(args...));
    sv_kept_lease *kept = sv_keeper_registry_find(self);
    if (kept == nullptr) {
      return sv_error_set(error, SV_ERR_INVALID, 0, "lease keeper lost track of this lease",
                          nullptr, nullptr, nullptr);
    }
    const int pending = take_pending(kept, self, error);
    if (pending != SV_OK) return pending;
    return (kept->original.*Member)(self, args...);
  }
};

template <auto Member>
constexpr auto interposer() noexcept {
  using Slot = std::remove_reference_t<decltype(std::declval<sv_lease>().*Member)>;
  return &Interposer<Slot>::template call<Member>;
}

void set_leaving(sv_kept_lease *kept, bool leaving) noexcept {
  std::lock_guard<std::mutex> lock(kept->state_mutex);
  kept->leaving = leaving;
}

int kept_release(sv_lease *self, const sv_release_req *req, sv_error *error) noexcept {
  sv_kept_lease *kept = sv_keeper_registry_find(self);
  if (kept == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "lease keeper lost track of this lease", nullptr,
                        nullptr, nullptr);
  }
  const int pending = take_pending(kept, self, error);
  if (pending != SV_OK) return pending;
  set_leaving(kept, true);
  const auto release = kept->original.release;
  // The handle is freed by a successful release: forget it first, and keep it if that fails.
  sv_keeper_restore_slots(kept);
  sv_keeper_registry_erase(self);
  const int code = release(self, req, error);
  if (code == SV_OK) {
    sv_keeper_forget(kept);
    return code;
  }
  set_leaving(kept, false);
  sv_keeper_registry_put(self, kept);
  sv_keeper_install_slots(kept);
  return code;
}

void kept_close(sv_lease *self) noexcept {
  sv_kept_lease *kept = sv_keeper_registry_find(self);
  if (kept == nullptr) return;
  sv_keeper_restore_slots(kept);
  sv_keeper_registry_erase(self);
  set_leaving(kept, true);
  sv_keeper_forget(kept);
  self->close(self);
}

}  // namespace

void sv_keeper_install_slots(sv_kept_lease *kept) noexcept {
  sv_lease *lease = kept->lease;
  kept->original = *lease;
  lease->describe = interposer<&sv_lease::describe>();
  lease->get = interposer<&sv_lease::get>();
  lease->load = interposer<&sv_lease::load>();
  lease->save = interposer<&sv_lease::save>();
  lease->update = interposer<&sv_lease::update>();
  lease->mutate = interposer<&sv_lease::mutate>();
  lease->mutate_local = interposer<&sv_lease::mutate_local>();
  lease->metadata = interposer<&sv_lease::metadata>();
  lease->remove = interposer<&sv_lease::remove>();
  lease->keepalive = interposer<&sv_lease::keepalive>();
  lease->attach = interposer<&sv_lease::attach>();
  lease->list_attachments = interposer<&sv_lease::list_attachments>();
  lease->get_attachment = interposer<&sv_lease::get_attachment>();
  lease->delete_attachment = interposer<&sv_lease::delete_attachment>();
  lease->delete_all_attachments = interposer<&sv_lease::delete_all_attachments>();
  lease->release = &kept_release;
  lease->close = &kept_close;
}

void sv_keeper_restore_slots(sv_kept_lease *kept) noexcept {
  sv_lease *lease = kept->lease;
  const sv_lease &original = kept->original;
  lease->describe = original.describe;
  lease->get = original.get;
  lease->load = original.load;
  lease->save = original.save;
  lease->update = original.update;
  lease->mutate = original.mutate;
  lease->mutate_local = original.mutate_local;
  lease->metadata = original.metadata;
  lease->remove = original.remove;
  lease->keepalive = original.keepalive;
  lease->attach = original.attach;
  lease->list_attachments = original.list_attachments;
  lease->get_attachment = original.get_attachment;
  lease->delete_attachment = original.delete_attachment;
  lease->delete_all_attachments = original.delete_all_attachments;
  lease->release = original.release;
  lease->close = original.close;
}
