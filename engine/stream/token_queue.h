// The ring of ready tokens a stream hands to its reader: each entry is the chosen token's string
// followed by up to three alternatives. The ring doubles when full, so nothing is lost while the
// reader falls behind unless memory runs out.
#ifndef ORVANE_TOKEN_QUEUE_H
#define ORVANE_TOKEN_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <vector>

enum { ORV_TOKEN_ALTS = 4 };  // strings per entry: the chosen token, then alternatives

struct TokenEntry {
  const char* str[ORV_TOKEN_ALTS] = {};  // null where there is no alternative
  int32_t ms = 0;                         // time of the audio it was decoded from
};

class TokenQueue {
 public:
  // An empty ring with room for CAPACITY - 1 entries; false when it cannot be allocated.
  bool init(size_t capacity) noexcept;
  // Appends E, doubling the ring first when it is full. False (E dropped) when the larger ring
  // cannot be allocated.
  bool push(const TokenEntry& e) noexcept;
  // Takes the oldest entry; false when the ring is empty.
  bool pop(TokenEntry& e) noexcept;
  size_t size() const noexcept;
  size_t capacity() const noexcept { return ring_.size(); }

 private:
  std::vector<TokenEntry> ring_;
  size_t read_ = 0, write_ = 0;  // empty when equal, full when write_ + 1 meets read_
};

#endif
