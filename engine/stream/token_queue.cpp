#include "stream/token_queue.h"

#include <new>

bool TokenQueue::init(size_t capacity) noexcept {
  try {
    ring_.assign(capacity, TokenEntry{});
  } catch (const std::bad_alloc&) {
    return false;
  }
  read_ = write_ = 0;
  return true;
}

size_t TokenQueue::size() const noexcept {
  return write_ >= read_ ? write_ - read_ : ring_.size() - read_ + write_;
}

bool TokenQueue::push(const TokenEntry& e) noexcept {
  if (ring_.empty() || (write_ + 1) % ring_.size() == read_) {
    // Full: move the entries in reading order to the front of a ring twice the size.
    try {
      std::vector<TokenEntry> bigger(ring_.empty() ? 2 : 2 * ring_.size());
      size_t n = 0;
      TokenEntry old;
      while (pop(old)) bigger[n++] = old;
      ring_.swap(bigger);
      read_ = 0;
      write_ = n;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  ring_[write_] = e;
  write_ = (write_ + 1) % ring_.size();
  return true;
}

bool TokenQueue::pop(TokenEntry& e) noexcept {
  if (read_ == write_) return false;
  e = ring_[read_];
  read_ = (read_ + 1) % ring_.size();
  return true;
}
