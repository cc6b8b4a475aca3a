// The stream pipe between a producer thread and a consumer thread: every byte in order through
// a small ring, and every order in which the producer finishes or fails and the consumer reads
// to the end or closes early, with the pipe freed exactly once by whichever side lets go last.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

#include "api_test_support.h"

namespace {

using api_test::CountingAllocator;
using api_test::Error;

std::string pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i)
    text[i] = static_cast<char>(i * 31 + i / 251);
  return text;
}

struct Opened {
  sv_source *source = nullptr;
  sv_stream_pipe *pipe = nullptr;
};

Opened open_pipe(size_t ring, const sv_allocator *allocator) {
  Opened opened;
  Error error;
  EXPECT_EQ(sv_stream_pipe_open(ring, allocator, &opened.source, &opened.pipe, error.get()), SV_OK)
      << error.message();
  return opened;
}

TEST(StreamPipe, ArgumentsAndTheSourceContract) {
  Error error;
  sv_source *source = nullptr;
  sv_stream_pipe *pipe = nullptr;
  EXPECT_EQ(sv_stream_pipe_open(0, nullptr, nullptr, &pipe, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "stream pipe requires out and pipe");
  EXPECT_EQ(sv_stream_pipe_open(0, nullptr, &source, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(sv_stream_pipe_write(nullptr, "x", 1, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "stream pipe write requires pipe");
  sv_stream_pipe_finish(nullptr);
  sv_stream_pipe_fail(nullptr, SV_ERR_SERVER, "ignored");

  CountingAllocator counting;
  Opened opened = open_pipe(0, &counting.allocator);
  EXPECT_EQ(opened.source->reset(opened.source, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "streamed payloads are not rewindable");
  EXPECT_EQ(sv_stream_pipe_write(opened.pipe, nullptr, 0, error.get()), SV_OK);
  sv_stream_pipe_finish(opened.pipe);
  EXPECT_GT(counting.live.load(), 0u);  // the consumer still holds it
  sv_source_close(opened.source);
  EXPECT_EQ(counting.live.load(), 0u);
}

TEST(StreamPipe, EveryFailedAllocationOfOpenIsReported) {
  const char *messages[] = {"failed to allocate stream pipe", "failed to allocate stream buffer",
                            "failed to allocate stream source"};
  for (size_t fail_at = 1; fail_at <= 3; ++fail_at) {
    CountingAllocator counting;
    counting.fail_at = fail_at;
    Error error;
    sv_source *source = nullptr;
    sv_stream_pipe *pipe = nullptr;
    EXPECT_EQ(sv_stream_pipe_open(128, &counting.allocator, &source, &pipe, error.get()),
              SV_ERR_NOMEM);
    EXPECT_EQ(error.message(), messages[fail_at - 1]);
    EXPECT_EQ(source, nullptr);
    EXPECT_EQ(counting.live.load(), 0u);
  }
}

TEST(StreamPipe, ThreeRingsOfDataArriveInOrderThroughTheDefaultRing) {
  const std::string payload = pattern(3 * 65536);
  Opened opened = open_pipe(65536, nullptr);
  std::thread producer([&] {
    Error error;
    EXPECT_EQ(sv_stream_pipe_write(opened.pipe, payload.data(), payload.size(), error.get()),
              SV_OK);
    sv_stream_pipe_finish(opened.pipe);
  });
  int status = -1;
  const std::string received = api_test::read_all(opened.source, 1000, &status);
  producer.join();
  EXPECT_EQ(status, SV_OK);
  EXPECT_TRUE(received == payload) << "received " << received.size() << " bytes";
  sv_source_close(opened.source);
}

TEST(StreamPipe, AFailureReachesTheConsumerAfterTheBufferedBytes) {
  for (const char *message : {"upstream reset", static_cast<const char *>(nullptr)}) {
    CountingAllocator counting;
    Opened opened = open_pipe(64, &counting.allocator);
    Error error;
    ASSERT_EQ(sv_stream_pipe_write(opened.pipe, "0123456789", 10, error.get()), SV_OK);
    sv_stream_pipe_fail(opened.pipe, message != nullptr ? SV_ERR_PROTOCOL : 0, message);
    char buffer[4];
    EXPECT_EQ(opened.source->read(opened.source, buffer, 4, error.get()), 4u);
    EXPECT_EQ(opened.source->read(opened.source, buffer, 4, error.get()), 4u);
    EXPECT_EQ(opened.source->read(opened.source, buffer, 4, error.get()), 2u);
    EXPECT_EQ(error.code(), SV_OK);
    EXPECT_EQ(opened.source->read(opened.source, buffer, 4, error.get()), 0u);
    EXPECT_EQ(error.code(), message != nullptr ? SV_ERR_PROTOCOL : SV_ERR_TRANSPORT);
    EXPECT_EQ(error.message(), message != nullptr ? message : "stream delivery failed");
    sv_source_close(opened.source);
    EXPECT_EQ(counting.live.load(), 0u);
  }
}

TEST(StreamPipe, ClosingTheSourceReleasesAProducerBlockedOnAFullRing) {
  CountingAllocator counting;
  Opened opened = open_pipe(1024, &counting.allocator);
  std::promise<void> started;
  std::thread producer([&] {
    Error error;
    const std::string payload = pattern(4096);
    EXPECT_EQ(sv_stream_pipe_write(opened.pipe, payload.data(), payload.size(), error.get()),
              SV_ERR_TRANSPORT);
    EXPECT_EQ(error.message(), "stream consumer closed payload early");
    // A later write fails at once.
    EXPECT_EQ(sv_stream_pipe_write(opened.pipe, "x", 1, error.get()), SV_ERR_TRANSPORT);
    sv_stream_pipe_finish(opened.pipe);
  });
  char byte = 0;
  Error error;
  EXPECT_EQ(opened.source->read(opened.source, &byte, 1, error.get()), 1u);  // producer running
  sv_source_close(opened.source);
  producer.join();
  EXPECT_EQ(counting.live.load(), 0u);
}

TEST(StreamPipe, AConsumerWaitingOnAnEmptyRingWakesForTheEnd) {
  for (bool fail : {false, true}) {
    Opened opened = open_pipe(16, nullptr);
    std::thread producer([&] {
      if (fail) {
        sv_stream_pipe_fail(opened.pipe, SV_ERR_SERVER, "gone");
      } else {
        sv_stream_pipe_finish(opened.pipe);
      }
    });
    char buffer[8];
    Error error;
    EXPECT_EQ(opened.source->read(opened.source, buffer, sizeof(buffer), error.get()), 0u);
    EXPECT_EQ(error.code(), fail ? SV_ERR_SERVER : SV_OK);
    producer.join();
    sv_source_close(opened.source);
  }
}

// ---- every order of finish, fail and close ----

enum class ProducerEnd { Finish, Fail };
enum class ConsumerEnd { ReadToTheEnd, CloseEarly };
enum class Order { ProducerFirst, ConsumerFirst, Together };

struct Scenario {
  ProducerEnd producer;
  ConsumerEnd consumer;
  Order order;
};

std::string describe(const Scenario &s) {
  std::string text = s.producer == ProducerEnd::Finish ? "finish" : "fail";
  text += s.consumer == ConsumerEnd::ReadToTheEnd ? "/read-to-end" : "/close-early";
  text += s.order == Order::ProducerFirst   ? "/producer-first"
          : s.order == Order::ConsumerFirst ? "/consumer-first"
                                            : "/together";
  return text;
}

void run(const Scenario &scenario) {
  SCOPED_TRACE(describe(scenario));
  constexpr size_t kRing = 4096;
  CountingAllocator counting;
  Opened opened = open_pipe(kRing, &counting.allocator);
  // A producer that runs alone must fit the ring; otherwise it would wait for ever.
  const std::string payload = pattern(scenario.order == Order::ProducerFirst ? kRing : 5 * kRing);
  int write_status = -1;
  auto produce = [&] {
    Error error;
    write_status = SV_OK;
    for (size_t offset = 0; offset < payload.size() && write_status == SV_OK; offset += 777) {
      const size_t count = std::min<size_t>(777, payload.size() - offset);
      write_status = sv_stream_pipe_write(opened.pipe, payload.data() + offset, count, error.get());
    }
    if (scenario.producer == ProducerEnd::Finish) {
      sv_stream_pipe_finish(opened.pipe);
    } else {
      sv_stream_pipe_fail(opened.pipe, SV_ERR_PROTOCOL, "producer gave up");
    }
  };
  std::string received;
  int read_status = -1;
  auto consume = [&] {
    Error error;
    if (scenario.consumer == ConsumerEnd::ReadToTheEnd) {
      received = api_test::read_all(opened.source, 1000, &read_status, error.get());
      if (read_status != SV_OK) {
        EXPECT_EQ(error.message(), "producer gave up");
      }
    } else if (scenario.order != Order::ConsumerFirst) {
      char buffer[1000];
      const size_t count = opened.source->read(opened.source, buffer, sizeof(buffer), error.get());
      received.assign(buffer, count);
    }
    sv_source_close(opened.source);
  };

  if (scenario.order == Order::ProducerFirst) {
    std::thread producer(produce);
    producer.join();
    std::thread consumer(consume);
    consumer.join();
  } else if (scenario.order == Order::ConsumerFirst) {
    std::thread consumer(consume);
    if (scenario.consumer == ConsumerEnd::CloseEarly) consumer.join();
    std::thread producer(produce);
    producer.join();
    if (consumer.joinable()) consumer.join();
  } else {
    std::thread consumer(consume);
    std::thread producer(produce);
    producer.join();
    consumer.join();
  }

  if (scenario.consumer == ConsumerEnd::ReadToTheEnd) {
    EXPECT_EQ(write_status, SV_OK);
    EXPECT_TRUE(received == payload) << received.size() << " of " << payload.size() << " bytes";
    EXPECT_EQ(read_status, scenario.producer == ProducerEnd::Finish ? SV_OK : SV_ERR_PROTOCOL);
  } else {
    // What the consumer saw is a prefix of the payload.
    EXPECT_TRUE(payload.compare(0, received.size(), received) == 0);
    if (scenario.order == Order::ProducerFirst) {
      EXPECT_EQ(write_status, SV_OK);  // everything fit before the consumer started
    } else {
      EXPECT_EQ(write_status, SV_ERR_TRANSPORT);  // more than the ring after an early close
    }
  }
  EXPECT_EQ(counting.live.load(), 0u) << "the pipe must be freed exactly once";
}

TEST(StreamPipe, EveryOrderOfFinishFailAndClose) {
  for (ProducerEnd producer : {ProducerEnd::Finish, ProducerEnd::Fail}) {
    for (ConsumerEnd consumer : {ConsumerEnd::ReadToTheEnd, ConsumerEnd::CloseEarly}) {
      for (Order order : {Order::ProducerFirst, Order::ConsumerFirst, Order::Together}) {
        // Repeated so that the threads meet at different points.
        for (int round = 0; round < 20; ++round)
          run({producer, consumer, order});
      }
    }
  }
}

}  // namespace
