// The lease keeper's records: one kept lease (its identity copied at add time, so renewals
// never touch the handle) and the keeper with its thread. The kept lease's slots are replaced
// by interposers (lease_keeper_slots.cpp) that apply renewals to the view and refuse a lost
// lease on the caller's thread.
#ifndef STAVOC_API_LEASE_KEEPER_INTERNAL_H
#define STAVOC_API_LEASE_KEEPER_INTERNAL_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "stavoc.h"
#include "stavoc_keeper.h"

using sv_keeper_clock = std::chrono::steady_clock;

struct sv_kept_lease {
  sv_lease_keeper *keeper = nullptr;
  sv_lease *lease = nullptr;
  sv_lease original{};  // the slots before the interposers were installed
  sv_client *client = nullptr;
  std::string namespace_name;
  std::string key;
  std::string lease_id;
  std::string txn_id;
  int64_t fencing_token = 0;
  int64_t ttl_seconds = 0;

  // Guarded by the keeper's mutex.
  sv_keeper_clock::time_point due{};
  sv_keeper_clock::time_point last_renewed{};
  bool renewing = false;  // the keeper's thread is renewing it now
  int64_t renewals = 0;

  // Guarded by state_mutex: what the thread hands to the caller's next call.
  std::mutex state_mutex;
  int64_t pending_expiry = 0;  // 0: nothing new
  bool leaving = false;        // a release is under way: a failed renewal is not a loss
  bool lost = false;
  sv_error lost_error{};
};

struct sv_lease_keeper {
  sv_lease_keeper_config config{};
  std::mutex mutex;
  std::condition_variable wake;     // the thread: stop, a new lease, an earlier due time
  std::condition_variable settled;  // removers: a renewal ended
  std::list<sv_kept_lease *> leases;
  bool stopping = false;
  std::thread thread;
};

// The registry of kept handles, so an interposer finds its record from the handle alone.
// False when the registry cannot grow.
bool sv_keeper_registry_put(sv_lease *lease, sv_kept_lease *kept) noexcept;
sv_kept_lease *sv_keeper_registry_find(sv_lease *lease) noexcept;
void sv_keeper_registry_erase(sv_lease *lease) noexcept;

// Installs the interposers on kept->lease (after saving its slots) and puts the original
// slots back.
void sv_keeper_install_slots(sv_kept_lease *kept) noexcept;
void sv_keeper_restore_slots(sv_kept_lease *kept) noexcept;

// Takes kept out of its keeper (waiting for a running renewal to end) and frees it; the
// handle's slots are left as they are.
void sv_keeper_forget(sv_kept_lease *kept) noexcept;

// Copies every member of src into dst; prefix (or NULL) goes before the message.
void sv_keeper_copy_error(sv_error *dst, const sv_error *src, const char *prefix) noexcept;

#endif
