// Scripted faults on streamed answers: the stream is cut or stalls after a number of bytes or
// parts, so clients meet broken and silent streams at a chosen point.
#include <thread>

#include "stream_writer.h"

namespace stavo::devserver {

namespace {

class FaultedWriter : public StreamWriter {
 public:
  FaultedWriter(StreamWriter &inner, const Fault &fault) : inner_(inner), fault_(fault) {}

  bool write(std::string_view bytes) override {
    if (ended_) return false;
    std::optional<size_t> byte_limit = fault_.close_after_bytes;
    bool stall = false;
    if (fault_.stall_after_bytes && (!byte_limit || *fault_.stall_after_bytes < *byte_limit)) {
      byte_limit = fault_.stall_after_bytes;
      stall = true;
    }
    if (byte_limit && sent_ + bytes.size() >= *byte_limit) {
      size_t allowed = *byte_limit - sent_;
      if (allowed > 0 && !inner_.write(bytes.substr(0, allowed))) return end();
      sent_ += allowed;
      return stall ? stall_forever() : end();
    }
    if (!inner_.write(bytes)) return end();
    sent_ += bytes.size();
    return true;
  }

  bool end_part() override {
    if (ended_) return false;
    ++parts_;
    if (fault_.cut_after_parts && parts_ >= *fault_.cut_after_parts) return end();
    if (fault_.stall_after_parts && parts_ >= *fault_.stall_after_parts) return stall_forever();
    return inner_.end_part();
  }

  bool client_gone() const override { return inner_.client_gone(); }
  bool server_running() const override { return inner_.server_running(); }

 private:
  bool end() {
    ended_ = true;
    return false;
  }

  // Sends nothing more; the connection stays open until the client leaves or the server stops.
  bool stall_forever() {
    while (!inner_.client_gone() && inner_.server_running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return end();
  }

  StreamWriter &inner_;
  Fault fault_;
  size_t sent_ = 0;
  size_t parts_ = 0;
  bool ended_ = false;
};

class PlainWriter : public StreamWriter {
 public:
  explicit PlainWriter(StreamWriter &inner) : inner_(inner) {}
  bool write(std::string_view bytes) override { return inner_.write(bytes); }
  bool end_part() override { return inner_.end_part(); }
  bool client_gone() const override { return inner_.client_gone(); }
  bool server_running() const override { return inner_.server_running(); }

 private:
  StreamWriter &inner_;
};

}  // namespace

std::unique_ptr<StreamWriter> make_faulted_writer(StreamWriter &inner,
                                                  const std::optional<Fault> &fault) {
  if (fault && (fault->close_after_bytes || fault->cut_after_parts || fault->stall_after_parts ||
                fault->stall_after_bytes)) {
    return std::make_unique<FaultedWriter>(inner, *fault);
  }
  return std::make_unique<PlainWriter>(inner);
}

}  // namespace stavo::devserver
