// Long-lived answers (queue streams, event streams) are written by the endpoint while the request
// is open, through this interface, so endpoint code never sees the HTTP library.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "devserver/faults.h"

namespace stavo::devserver {

class StreamWriter {
 public:
  virtual ~StreamWriter() = default;
  // False when the bytes could not be sent (client gone, stream cut): the producer stops.
  virtual bool write(std::string_view bytes) = 0;
  // Marks the end of one unit of the stream (a multipart part, an event); faults count these.
  // False when the stream must end here.
  virtual bool end_part() { return true; }
  // True once the client has closed its side of the connection.
  virtual bool client_gone() const = 0;
  // True while the server is running; producers end when it stops.
  virtual bool server_running() const = 0;
};

// Applies a scripted fault's stream options (cut after bytes or parts, stall) on top of the real
// writer. Without stream options it hands back a plain pass-through.
std::unique_ptr<StreamWriter> make_faulted_writer(StreamWriter &inner,
                                                  const std::optional<Fault> &fault);

}  // namespace stavo::devserver
