// The parts of the server shared by the HTTP binding and the /_dev/ controls.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "devserver/hostile.h"
#include "devserver/server.h"
#include "endpoints.h"
#include "recording_front.h"
#include "store.h"

namespace stavo::devserver {

struct HttpBinding;  // the HTTP library's server object (http_server.cpp)
class QueueService;  // queue_store.h

struct Server::Impl {
  explicit Impl(ServerOptions opts);
  ~Impl();

  ServerOptions options;
  VirtualClock clock;
  RequestLog log;
  FaultTable faults;
  HostileTable hostile;
  std::string data_dir;
  bool own_data_dir = false;
  std::unique_ptr<Store> store;
  std::unique_ptr<EndpointContext> context;
  std::unique_ptr<QueueService> queues;
  Routes routes;      // /v1/
  Routes dev_routes;  // /_dev/
  RecordingFront front;
  std::unique_ptr<HttpBinding> http;
  std::atomic<bool> passive{false};
  std::atomic<bool> started{false};
  std::atomic<bool> stopped{false};

  // Real-time pauses (fault delays, pieces) that end early when the server stops.
  std::mutex pause_mutex;
  std::condition_variable pause_changed;
  bool pause(std::chrono::milliseconds duration);

  void start();
  void stop();
};

void add_dev_endpoints(Routes &routes, Server::Impl &server);

// The front's interceptor that answers requests matching a hostile rule (hostile_front.cpp).
std::function<RecordingFront::Answer(const RawHead &)> hostile_interceptor(HostileTable &table);

}  // namespace stavo::devserver
