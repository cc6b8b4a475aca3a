// stavo::Client and stavo::Lease against the dev server: every wrapper reaches its C function,
// the destructor rolls back and releases, moves leave the source empty, and failures carry every
// member of the C error, thrown or in a stavo::Status.
#include <sstream>

#include "cpp_fixture.h"

namespace {

using cpp_test::CppFixture;
using cpp_test::owner;

class CppLease : public CppFixture {};

TEST_F(CppLease, WritesCommitOnReleaseAndTheViewFollows) {
  stavo::Lease lease = client_.acquire("cpp/commit", owner("cpp"));
  ASSERT_TRUE(lease);
  EXPECT_EQ(lease.key(), "cpp/commit");
  EXPECT_EQ(lease.owner(), "cpp");
  EXPECT_FALSE(lease.lease_id().empty());
  EXPECT_EQ(lease.fencing_token(), server_->state("cpp/commit").lease->fencing_token);

  lease.update(R"({"n":1})");
  EXPECT_EQ(lease.version(), 1);
  ASSERT_TRUE(lease.state_etag().has_value());
  lease.mutate({"/n++", "/tag=\"x\""});
  const stavo::State state = lease.get();
  EXPECT_TRUE(state.info.has_state);
  EXPECT_EQ(state.bytes, server_->state("cpp/commit").lease->staged_state);
  EXPECT_NE(state.bytes.find("\"n\":2"), std::string::npos) << state.bytes;
  EXPECT_EQ(state.info.version, lease.version());
  lease.set_query_hidden(true);
  lease.keepalive(60);
  EXPECT_EQ(lease.expires_at_unix(), server_->now_unix() + 60);

  lease.release();
  EXPECT_FALSE(lease);
  const auto committed = server_->state("cpp/commit");
  EXPECT_FALSE(committed.lease.has_value());
  EXPECT_EQ(committed.state, state.bytes);
  EXPECT_TRUE(committed.query_hidden);
}

TEST_F(CppLease, TheDestructorRollsBackAndReleases) {
  server_->seed_state("cpp/rollback", R"({"n":1})");
  {
    stavo::Lease lease = client_.acquire("cpp/rollback", owner("cpp"));
    lease.update(R"({"n":99})");
    EXPECT_TRUE(server_->state("cpp/rollback").lease->has_staged_changes);
  }
  const auto after = server_->state("cpp/rollback");
  EXPECT_FALSE(after.lease.has_value());
  EXPECT_EQ(after.state, R"({"n":1})");
  // The key is free again: another owner gets it at once.
  stavo::Lease next = client_.acquire("cpp/rollback", owner("other"));
  EXPECT_EQ(next.owner(), "other");
}

TEST_F(CppLease, ALeaseTheServerNoLongerKnowsIsClosedByItsDestructor) {
  {
    stavo::Lease lease = client_.acquire("cpp/expired", owner("cpp", 5));
    server_->advance_clock(std::chrono::seconds(6));
    EXPECT_FALSE(server_->state("cpp/expired").lease.has_value());
  }  // the release fails (lease_expired); the handle is freed anyway (ASan checks the leak)
  EXPECT_EQ(server_->requests_to("POST", "/v1/release").size(), 1u);
}

TEST_F(CppLease, MovesLeaveTheSourceEmpty) {
  stavo::Lease first = client_.acquire("cpp/move/1", owner("cpp"));
  sv_lease *handle = first.handle();
  stavo::Lease moved(std::move(first));
  EXPECT_FALSE(first);
  EXPECT_EQ(first.handle(), nullptr);
  EXPECT_EQ(moved.handle(), handle);

  // Move assignment gives up (rolls back and releases) the lease the target held.
  stavo::Lease second = client_.acquire("cpp/move/2", owner("cpp"));
  second = std::move(moved);
  EXPECT_FALSE(moved);
  EXPECT_EQ(second.key(), "cpp/move/1");
  EXPECT_FALSE(server_->state("cpp/move/2").lease.has_value());
  EXPECT_TRUE(server_->state("cpp/move/1").lease.has_value());

  stavo::Client other = std::move(client_);
  EXPECT_FALSE(client_);
  EXPECT_TRUE(other);
  client_ = std::move(other);
  EXPECT_FALSE(other);
}

TEST_F(CppLease, AnExceptionCarriesEveryMemberOfTheError) {
  stavo::Lease held = client_.acquire("cpp/held", owner("first"));
  try {
    client_.acquire("cpp/held", owner("second"));
    FAIL() << "the second acquire succeeded";
  } catch (const stavo::Error &error) {
    EXPECT_EQ(error.code(), SV_ERR_SERVER);
    EXPECT_EQ(error.http_status(), 409);
    EXPECT_EQ(error.server_error_code(), "lease_held");
    EXPECT_FALSE(error.correlation_id().empty());
    EXPECT_FALSE(error.message().empty());
    EXPECT_GT(error.retry_after_seconds(), 0);
  }

  held.update(R"({"v":1})");
  stavo::WriteOptions stale;
  stale.if_version = 7;
  try {
    held.update(R"({"v":2})", stale);
    FAIL() << "the stale update succeeded";
  } catch (const stavo::Error &error) {
    EXPECT_EQ(error.http_status(), 409);
    EXPECT_EQ(error.current_version(), 1);
    EXPECT_EQ(error.current_etag(), held.state_etag().value_or("<none>"));
    EXPECT_FALSE(error.detail().empty());
  }

  stavo::ClientOptions dead = cpp_test::options_for(*server_);
  dead.endpoints = {"http://127.0.0.1:1"};
  stavo::Client unreachable(dead);
  try {
    unreachable.describe("cpp/held");
    FAIL() << "describe on a closed port succeeded";
  } catch (const stavo::Error &error) {
    EXPECT_EQ(error.code(), SV_ERR_TRANSPORT);
    EXPECT_EQ(error.transport_cause(), SV_TRANSPORT_CAUSE_CONNECT);
    EXPECT_EQ(error.http_status(), 0);
  }
}

TEST_F(CppLease, TheStatusFormsNeverThrowAndReportTheSameFailure) {
  stavo::Lease held = client_.acquire("cpp/status", owner("first"));
  stavo::Status status;
  stavo::Lease none = client_.acquire("cpp/status", owner("second"), status);
  EXPECT_FALSE(status.ok());
  EXPECT_FALSE(none);
  EXPECT_EQ(status.code(), SV_ERR_SERVER);
  EXPECT_STREQ(status.record().server_error_code, "lease_held");

  // A later success through the same status clears it.
  held.update(R"({"ok":true})", {}, status);
  EXPECT_TRUE(status.ok()) << status.message();

  stavo::ClientOptions bad;
  bad.endpoints = {"htps://h"};
  stavo::Client refused(bad, status);
  EXPECT_FALSE(refused);
  EXPECT_EQ(status.code(), SV_ERR_INVALID);
  EXPECT_EQ(status.message(),
            "invalid endpoint \"htps://h\": unknown scheme \"htps\" (use "
            "http:// or https://)");
  EXPECT_THROW(stavo::Client{bad}, stavo::Error);
}

TEST_F(CppLease, DescribeAndPublicReadsByKey) {
  server_->seed_state("cpp/public", R"({"open":true})");
  const stavo::KeyDescription free_key = client_.describe("cpp/public");
  EXPECT_EQ(free_key.key, "cpp/public");
  EXPECT_FALSE(free_key.owner.has_value());
  EXPECT_EQ(free_key.state_etag, server_->state("cpp/public").state_etag);

  stavo::Lease lease = client_.acquire("cpp/public", owner("reader"));
  const stavo::KeyDescription leased = client_.describe("cpp/public");
  EXPECT_EQ(leased.owner, "reader");
  EXPECT_EQ(leased.lease_id, lease.lease_id());

  const stavo::State state = client_.get_public("cpp/public");
  EXPECT_EQ(state.bytes, R"({"open":true})");
  EXPECT_EQ(state.info.version, server_->state("cpp/public").version);
  const stavo::State missing = client_.get_public("cpp/nothing");
  EXPECT_FALSE(missing.info.has_state);
  EXPECT_TRUE(missing.bytes.empty());
}

TEST_F(CppLease, SourcesAndSinksCarryStreamsBuffersAndFiles) {
  stavo::Lease lease = client_.acquire("cpp/streams", owner("cpp"));
  std::istringstream input(R"({"from":"stream"})");
  stavo::Source source = stavo::Source::from_stream(input);
  lease.update(source);
  std::ostringstream output;
  stavo::Sink sink = stavo::Sink::to_stream(output);
  const stavo::StateInfo info = lease.get(sink);
  EXPECT_TRUE(info.has_state);
  EXPECT_EQ(output.str(), R"({"from":"stream"})");

  const std::vector<unsigned char> bytes = {'{', '}'};
  stavo::Source buffer = stavo::Source::from_buffer(bytes);
  lease.update(buffer);
  EXPECT_EQ(lease.get().bytes, "{}");

  EXPECT_THROW(stavo::Source::from_file("/nonexistent/cpp-state.json"), stavo::Error);
  stavo::Status status;
  stavo::Source missing = stavo::Source::from_file("/nonexistent/cpp-state.json", status);
  EXPECT_FALSE(missing);
  EXPECT_EQ(status.code(), SV_ERR_TRANSPORT);
  EXPECT_EQ(status.message(), "failed to open file source");
}

TEST_F(CppLease, AttachmentsByName) {
  stavo::Lease lease = client_.acquire("cpp/files", owner("cpp"));
  const stavo::AttachmentInfo stored = lease.attach("notes.txt", "hello");
  EXPECT_EQ(stored.name, "notes.txt");
  EXPECT_EQ(stored.size, 5);
  const auto listed = lease.attachments();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].id, stored.id);
  EXPECT_EQ(lease.attachment("notes.txt"), "hello");
  EXPECT_EQ(lease.attachment("absent.txt"), std::nullopt);
  EXPECT_TRUE(lease.delete_attachment("notes.txt"));
  EXPECT_FALSE(lease.delete_attachment("notes.txt"));
  EXPECT_TRUE(server_->state("cpp/files").attachments.empty());
}

TEST_F(CppLease, AcquireForUpdateRunsACallableAndRollsBackWhenItThrows) {
  server_->seed_state("cpp/afu", R"({"n":1})");
  int calls = 0;
  client_.acquire_for_update("cpp/afu", owner("cpp"),
                             [&](stavo::LeaseRef &lease, const std::optional<stavo::State> &state) {
                               ++calls;
                               ASSERT_TRUE(state.has_value());
                               EXPECT_EQ(state->bytes, R"({"n":1})");
                               lease.update(R"({"n":2})");
                             });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(server_->state("cpp/afu").state, R"({"n":2})");

  try {
    client_.acquire_for_update("cpp/afu", owner("cpp"),
                               [&](stavo::LeaseRef &lease, const std::optional<stavo::State> &) {
                                 lease.update(R"({"n":3})");
                                 throw std::runtime_error("stock check failed");
                               });
    FAIL() << "the handler's failure did not reach the caller";
  } catch (const stavo::Error &error) {
    EXPECT_EQ(error.code(), SV_ERR_INVALID);
    EXPECT_NE(error.message().find("stock check failed"), std::string::npos) << error.message();
  }
  const auto after = server_->state("cpp/afu");
  EXPECT_EQ(after.state, R"({"n":2})");
  EXPECT_FALSE(after.lease.has_value());
}

struct Point {
  int64_t x;
  char *label;
};
const brindle_field point_fields[] = {
    BRINDLE_DECL_I64(Point, x, "x", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(Point, label, "label", BRINDLE_FIELD_OMIT_NULL),
};
const brindle_map point_map = BRINDLE_MAP("point", Point, point_fields);

TEST_F(CppLease, MappedRecordsLoadAndSaveThroughTheirMap) {
  server_->seed_state("cpp/mapped", R"({"x":4,"label":"four"})");
  stavo::Lease lease = client_.acquire("cpp/mapped", owner("cpp"));
  stavo::Mapped<Point> point = stavo::load<Point>(lease, point_map);
  EXPECT_EQ(point->x, 4);
  EXPECT_STREQ(point->label, "four");
  point->x = 5;
  stavo::save(lease, point);
  lease.release();
  EXPECT_EQ(server_->state("cpp/mapped").state, R"({"x":5,"label":"four"})");

  struct Wrong {
    int64_t only;
  };
  stavo::Lease again = client_.acquire("cpp/mapped", owner("cpp"));
  EXPECT_THROW(stavo::load<Wrong>(again, point_map), stavo::Error);
  server_->seed_state("cpp/bad", R"({"label":"no x"})");
  stavo::Lease bad = client_.acquire("cpp/bad", owner("cpp"));
  try {
    stavo::load<Point>(bad, point_map);
    FAIL() << "a record without its required member loaded";
  } catch (const stavo::Error &error) {
    EXPECT_EQ(error.code(), SV_ERR_PROTOCOL);
  }
}

TEST_F(CppLease, QueryKeysHandsEveryKeyToACallable) {
  server_->seed_state("order/1", R"({"status":"open"})");
  server_->seed_state("order/2", R"({"status":"closed"})");
  server_->seed_state("order/3", R"({"status":"open"})");
  std::vector<std::string> keys;
  const stavo::QueryPage page =
      client_.query_keys(R"({"/status":"open"})", {}, [&](std::string_view key) {
        keys.emplace_back(key);
        return true;
      });
  EXPECT_EQ(keys, (std::vector<std::string>{"order/1", "order/3"}));
  EXPECT_FALSE(page.cursor.has_value());

  // Returning false stops the query after the first key.
  keys.clear();
  client_.query_keys(R"({"/status":"open"})", {}, [&](std::string_view key) {
    keys.emplace_back(key);
    return false;
  });
  EXPECT_EQ(keys.size(), 1u);
}

}  // namespace
