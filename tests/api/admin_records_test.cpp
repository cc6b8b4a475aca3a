// The results of the query and administration operations: every cleanup frees what the record
// owns (ASan reports a leak otherwise), zeroes the record and accepts NULL.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "stavoc.h"

namespace {

template <typename Record>
bool all_zero(const Record &record) {
  Record zero;
  std::memset(static_cast<void *>(&zero), 0, sizeof(zero));
  return std::memcmp(&record, &zero, sizeof(record)) == 0;
}

char *dup(const char *text) {
  return sv_strdup_local(text);
}

sv_string_list list_of(size_t count) {
  sv_string_list list{};
  list.items = static_cast<char **>(std::calloc(count, sizeof(char *)));
  list.count = count;
  for (size_t index = 0; index < count; ++index)
    list.items[index] = dup("https://member");
  return list;
}

TEST(AdminRecords, CleanupsFreeEverythingAndLeaveZeroedRecords) {
  sv_query_res query{dup("c"), dup("keys"), 7, 1, dup("{}"), dup("cid")};
  sv_namespace_config_res ns{dup("n"), dup("index"), dup("scan"), dup("cid")};
  sv_index_flush_res flush{dup("n"), dup("sync"), dup("f-1"), 1, 1, 0, 9, dup("cid")};
  auto *participants =
      static_cast<sv_txn_replay_participant *>(std::calloc(2, sizeof(sv_txn_replay_participant)));
  participants[0] = {dup("ns"), dup("k1"), dup("h")};
  participants[1] = {nullptr, dup("k2"), nullptr};  // null members stay NULL
  sv_txn_replay_res replay{dup("t"), dup("commit"), dup("cid"), participants, 2, 8, 9, dup("h")};
  sv_txn_decision_res decision{dup("t"), dup("prepare"), dup("cid"), 3, 1};
  sv_tc_lease_acquire_res acquire{1, dup("a"), dup("https://a"), 2, 3, dup("cid")};
  sv_tc_lease_renew_res renew{1, dup("a"), dup("https://a"), 2, 3, dup("cid")};
  sv_tc_lease_release_res release{1, dup("cid"), 4};
  sv_tc_leader_res leader{dup("a"), dup("https://a"), 2, 3, dup("cid")};
  sv_tc_cluster_res cluster{list_of(3), 4, 5, dup("cid"), 1};
  sv_tc_rm_res rm{dup("b"), list_of(2), 6, dup("cid")};
  sv_string_list list = list_of(4);
  sv_tc_rm_list_res rm_list{};
  rm_list.backend_count = 2;
  rm_list.backends = static_cast<sv_tc_rm_backend *>(std::calloc(2, sizeof(sv_tc_rm_backend)));
  rm_list.backends[0] = {dup("b1"), list_of(2), 1};
  rm_list.backends[1] = {dup("b2"), sv_string_list{}, 1};  // a backend without endpoints
  rm_list.correlation_id = dup("cid");

  sv_query_res_cleanup(&query);
  sv_namespace_config_res_cleanup(&ns);
  sv_index_flush_res_cleanup(&flush);
  sv_txn_replay_res_cleanup(&replay);
  sv_txn_decision_res_cleanup(&decision);
  sv_tc_lease_acquire_res_cleanup(&acquire);
  sv_tc_lease_renew_res_cleanup(&renew);
  sv_tc_lease_release_res_cleanup(&release);
  sv_tc_leader_res_cleanup(&leader);
  sv_tc_cluster_res_cleanup(&cluster);
  sv_tc_rm_res_cleanup(&rm);
  sv_string_list_cleanup(&list);
  sv_tc_rm_list_res_cleanup(&rm_list);
  EXPECT_TRUE(all_zero(query));
  EXPECT_TRUE(all_zero(ns));
  EXPECT_TRUE(all_zero(flush));
  EXPECT_TRUE(all_zero(replay));
  EXPECT_TRUE(all_zero(decision));
  EXPECT_TRUE(all_zero(acquire));
  EXPECT_TRUE(all_zero(renew));
  EXPECT_TRUE(all_zero(release));
  EXPECT_TRUE(all_zero(leader));
  EXPECT_TRUE(all_zero(cluster));
  EXPECT_TRUE(all_zero(rm));
  EXPECT_TRUE(all_zero(list));
  EXPECT_TRUE(all_zero(rm_list));

  // A second cleanup of a cleaned record, and NULL, do nothing.
  sv_tc_rm_list_res_cleanup(&rm_list);
  sv_query_res_cleanup(nullptr);
  sv_string_list_cleanup(nullptr);
  sv_namespace_config_res_cleanup(nullptr);
  sv_index_flush_res_cleanup(nullptr);
  sv_txn_replay_res_cleanup(nullptr);
  sv_txn_decision_res_cleanup(nullptr);
  sv_tc_lease_acquire_res_cleanup(nullptr);
  sv_tc_lease_renew_res_cleanup(nullptr);
  sv_tc_lease_release_res_cleanup(nullptr);
  sv_tc_leader_res_cleanup(nullptr);
  sv_tc_cluster_res_cleanup(nullptr);
  sv_tc_rm_res_cleanup(nullptr);
  sv_tc_rm_list_res_cleanup(nullptr);
}

}  // namespace
