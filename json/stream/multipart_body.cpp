// Delimited multipart bodies. Body bytes go straight from the pushed chunk to part_data; only a
// candidate is held back: a line break (or the start of the body) followed by bytes that may
// still become the delimiter or the closing delimiter with their line break. A line break
// directly before a delimiter is not part of the body. A delimiter followed by CR and then a byte
// other than LF is never decided, so it is held until the buffer limit fails the body.
#include <cstring>

#include "multipart_internal.h"

namespace {

class DelimitedFeed {
 public:
  DelimitedFeed(brindle_multipart *parser, const char *bytes, size_t length,
                const brindle_multipart_callbacks *callbacks, void *user_data, brindle_error *error)
      : parser_(parser),
        bytes_(bytes),
        length_(length),
        callbacks_(callbacks),
        user_data_(user_data),
        error_(error),
        delimiter_(parser->delimiter.data),
        delimiter_length_(parser->delimiter.length),
        limit_(parser->max_buffered_bytes),
        match_(parser->match),
        position_(parser->match_position),
        candidate_length_(parser->match_length),
        held_(parser->match != BRINDLE__DM_NONE && parser->pending.length != 0) {}

  brindle_status run(size_t *used);

 private:
  brindle_status deliver(const char *bytes, size_t length) {
    if (length == 0 || callbacks_ == nullptr || callbacks_->part_data == nullptr) {
      return BRINDLE_OK;
    }
    if (callbacks_->part_data(user_data_, bytes, length, error_) != 0) {
      return brindle__multipart_callback_failed(error_, "multipart part_data callback failed");
    }
    return BRINDLE_OK;
  }

  // Body bytes before the candidate. A candidate held from an earlier chunk has nothing of this
  // chunk before it.
  brindle_status deliver_before_candidate() {
    if (held_) return BRINDLE_OK;
    brindle_status status = deliver(bytes_ + run_, start_ - run_);
    run_ = start_;
    return status;
  }

  brindle_status fail_limit() {
    brindle_status status = deliver_before_candidate();
    if (status != BRINDLE_OK) return status;
    return brindle__fail(error_, BRINDLE_OVERFLOW, "framing buffer limit exceeded");
  }

  // The candidate turned out to be body bytes. Bytes of this chunk stay in the undelivered run;
  // bytes held from earlier chunks come first.
  brindle_status mismatch() {
    match_ = BRINDLE__DM_NONE;
    if (!held_) return BRINDLE_OK;
    held_ = false;
    brindle_status status = deliver(parser_->pending.data, parser_->pending.length);
    brindle__framing_clear(&parser_->pending);
    return status;
  }

  brindle_status complete(bool closing, size_t *used) {
    brindle_status status = deliver_before_candidate();
    if (status != BRINDLE_OK) return status;
    *used = index_ + 1;
    brindle__framing_clear(&parser_->pending);
    if (closing) parser_->finished = true;
    return brindle__multipart_end_part(parser_, closing ? BRINDLE__MP_DONE : BRINDLE__MP_HEADERS,
                                       callbacks_, user_data_, error_);
  }

  void begin_candidate(int32_t match, size_t start, size_t length) {
    match_ = match;
    position_ = 0;
    start_ = start;
    candidate_length_ = length;
    held_ = false;
  }

  // Finds the next byte that can start a candidate: an LF, a CR at the end of the chunk (it may
  // be followed by LF), and with a buffer limit below two bytes any CR, since a lone CR followed
  // by a byte already exceeds such a limit.
  size_t next_break(size_t from) const {
    if (limit_ < 2) return from + brindle__find_line_break(bytes_ + from, length_ - from);
    const void *lf = std::memchr(bytes_ + from, '\n', length_ - from);
    if (lf != nullptr) return static_cast<size_t>(static_cast<const char *>(lf) - bytes_);
    return bytes_[length_ - 1] == '\r' ? length_ - 1 : length_;
  }

  // One byte of an open candidate; returns false when the part ended (or on failure).
  bool step(size_t *used, brindle_status *status);

  brindle_multipart *parser_;
  const char *bytes_;
  size_t length_;
  const brindle_multipart_callbacks *callbacks_;
  void *user_data_;
  brindle_error *error_;
  const char *delimiter_;
  size_t delimiter_length_;
  size_t limit_;

  int32_t match_;
  size_t position_;
  size_t candidate_length_;
  bool held_;         // the candidate's first bytes are in the pending buffer
  size_t start_ = 0;  // first byte of a candidate that began in this chunk
  size_t run_ = 0;    // first body byte of this chunk not yet delivered
  size_t index_ = 0;  // next byte to look at
};

bool DelimitedFeed::step(size_t *used, brindle_status *status) {
  const char c = bytes_[index_];
  if (candidate_length_ + 1 > limit_) {
    *status = fail_limit();
    return false;
  }
  bool joins = true;  // the byte belongs to the candidate
  switch (match_) {
    case BRINDLE__DM_CR:
      if (c == '\n') {
        match_ = BRINDLE__DM_BOUNDARY;
        position_ = 0;
      } else {
        joins = false;
      }
      break;
    case BRINDLE__DM_BOUNDARY:
      if (c == delimiter_[position_]) {
        if (++position_ == delimiter_length_) match_ = BRINDLE__DM_AFTER;
      } else {
        joins = false;
      }
      break;
    case BRINDLE__DM_AFTER:
      if (c == '\n') {
        *status = complete(false, used);
        return false;
      }
      if (c == '\r') {
        match_ = BRINDLE__DM_AFTER_CR;
      } else if (c == '-') {
        match_ = BRINDLE__DM_DASH;
      } else {
        joins = false;
      }
      break;
    case BRINDLE__DM_AFTER_CR:
      if (c == '\n') {
        *status = complete(false, used);
        return false;
      }
      match_ = BRINDLE__DM_STALLED;
      break;
    case BRINDLE__DM_DASH:
      if (c == '-') {
        match_ = BRINDLE__DM_CLOSE;
      } else {
        joins = false;
      }
      break;
    case BRINDLE__DM_CLOSE:
      if (c == '\n') {
        *status = complete(true, used);
        return false;
      }
      if (c == '\r') {
        match_ = BRINDLE__DM_CLOSE_CR;
      } else {
        joins = false;
      }
      break;
    case BRINDLE__DM_CLOSE_CR:
      if (c == '\n') {
        *status = complete(true, used);
        return false;
      }
      match_ = BRINDLE__DM_STALLED;
      break;
    default:
      break;
  }
  if (joins) {
    ++candidate_length_;
    ++index_;
    *status = BRINDLE_OK;
    return true;
  }
  // Not a delimiter after all. The byte is looked at again as a body byte: it may itself be a
  // line break that starts the next candidate.
  *status = mismatch();
  return *status == BRINDLE_OK;
}

brindle_status DelimitedFeed::run(size_t *used) {
  *used = 0;
  brindle_status status = BRINDLE_OK;
  while (index_ < length_ && match_ != BRINDLE__DM_STALLED) {
    if (match_ != BRINDLE__DM_NONE) {
      if (!step(used, &status)) return status;
      continue;
    }
    const size_t at = next_break(index_);
    if (at == length_) {
      index_ = length_;
      break;
    }
    if (bytes_[at] == '\r' && (at + 1 == length_ || bytes_[at + 1] != '\n')) {
      begin_candidate(BRINDLE__DM_CR, at, 1);
      index_ = at + 1;
    } else {
      const size_t lf = bytes_[at] == '\r' ? at + 1 : at;
      const size_t start = lf > index_ && bytes_[lf - 1] == '\r' ? lf - 1 : lf;
      begin_candidate(BRINDLE__DM_BOUNDARY, start, lf + 1 - start);
      index_ = lf + 1;
    }
    if (candidate_length_ > limit_) return fail_limit();
  }

  // End of the chunk: deliver what is known to be body, hold an open candidate.
  if (match_ == BRINDLE__DM_NONE) {
    status = deliver(bytes_ + run_, length_ - run_);
  } else {
    const size_t from = held_ ? 0 : start_;
    status = deliver_before_candidate();
    if (status == BRINDLE_OK) {
      status = brindle__framing_append(&parser_->pending, &parser_->allocator, bytes_ + from,
                                       length_ - from, error_);
    }
    candidate_length_ = parser_->pending.length;
  }
  parser_->match = match_;
  parser_->match_position = position_;
  parser_->match_length = candidate_length_;
  if (status == BRINDLE_OK) *used = length_;
  return status;
}

}  // namespace

void brindle__multipart_body_start(brindle_multipart *parser) noexcept {
  brindle__framing_clear(&parser->pending);
  parser->match = BRINDLE__DM_BOUNDARY;  // the body may begin with the delimiter (an empty part)
  parser->match_position = 0;
  parser->match_length = 0;
}

brindle_status brindle__multipart_body_feed(brindle_multipart *parser, const char *bytes,
                                            size_t length,
                                            const brindle_multipart_callbacks *callbacks,
                                            void *user_data, size_t *used,
                                            brindle_error *error) noexcept {
  DelimitedFeed feed(parser, bytes, length, callbacks, user_data, error);
  return feed.run(used);
}
