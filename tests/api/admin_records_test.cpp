// The records of the query and administration operations: init functions zero what a caller
// left in them, and every cleanup frees what it owns (ASan reports a leak otherwise), zeroes
// the record and accepts NULL.
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

template <typename Record>
void scribble(Record *record) {
  std::memset(static_cast<void *>(record), 0x5a, sizeof(*record));
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

TEST(AdminRecords, InitFunctionsZeroEveryMember) {
  sv_query_req query;
  sv_query_key_handler handler;
  sv_namespace_config_req ns;
  sv_index_flush_req flush;
  sv_txn_replay_req replay;
  sv_txn_participant participant;
  sv_txn_decision_req decision;
  sv_tc_lease_acquire_req acquire;
  sv_tc_lease_renew_req renew;
  sv_tc_lease_release_req release;
  sv_tc_cluster_announce_req announce;
  sv_tc_rm_register_req reg;
  sv_tc_rm_unregister_req unreg;
  scribble(&query), sv_query_req_init(&query);
  scribble(&handler), sv_query_key_handler_init(&handler);
  scribble(&ns), sv_namespace_config_req_init(&ns);
  scribble(&flush), sv_index_flush_req_init(&flush);
  scribble(&replay), sv_txn_replay_req_init(&replay);
  scribble(&participant), sv_txn_participant_init(&participant);
  scribble(&decision), sv_txn_decision_req_init(&decision);
  scribble(&acquire), sv_tc_lease_acquire_req_init(&acquire);
  scribble(&renew), sv_tc_lease_renew_req_init(&renew);
  scribble(&release), sv_tc_lease_release_req_init(&release);
  scribble(&announce), sv_tc_cluster_announce_req_init(&announce);
  scribble(&reg), sv_tc_rm_register_req_init(&reg);
  scribble(&unreg), sv_tc_rm_unregister_req_init(&unreg);
  EXPECT_TRUE(all_zero(query));
  EXPECT_TRUE(all_zero(handler));
  EXPECT_TRUE(all_zero(ns));
  EXPECT_TRUE(all_zero(flush));
  EXPECT_TRUE(all_zero(replay));
  EXPECT_TRUE(all_zero(participant));
  EXPECT_TRUE(all_zero(decision));
  EXPECT_TRUE(all_zero(acquire));
  EXPECT_TRUE(all_zero(renew));
  EXPECT_TRUE(all_zero(release));
  EXPECT_TRUE(all_zero(announce));
  EXPECT_TRUE(all_zero(reg));
  EXPECT_TRUE(all_zero(unreg));
  // NULL is ignored.
  sv_query_req_init(nullptr);
  sv_txn_decision_req_init(nullptr);
  sv_tc_rm_unregister_req_init(nullptr);
}

TEST(AdminRecords, CleanupsFreeEverythingAndLeaveZeroedRecords) {
  sv_query_res query{dup("c"), dup("keys"), 7, 1, dup("{}"), dup("cid")};
  sv_namespace_config_res ns{dup("n"), dup("index"), dup("scan"), dup("cid")};
  sv_index_flush_res flush{dup("n"), dup("sync"), dup("f-1"), 1, 1, 0, 9, dup("cid")};
  sv_txn_replay_res replay{dup("t"), dup("commit"), dup("cid")};
  sv_txn_decision_res decision{dup("t"), dup("prepare"), dup("cid")};
  sv_tc_lease_acquire_res acquire{1, dup("a"), dup("https://a"), 2, 3, dup("cid")};
  sv_tc_lease_renew_res renew{1, dup("a"), dup("https://a"), 2, 3, dup("cid")};
  sv_tc_lease_release_res release{1, dup("cid")};
  sv_tc_leader_res leader{dup("a"), dup("https://a"), 2, 3, dup("cid")};
  sv_tc_cluster_res cluster{list_of(3), 4, 5, dup("cid")};
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
