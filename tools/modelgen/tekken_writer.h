// The vocabulary file of a generated model.
#ifndef ORVANE_TEKKEN_WRITER_H
#define ORVANE_TEKKEN_WRITER_H

#include <cstdint>
#include <string>

namespace modelgen {

// tekken.json text for VOCAB_SIZE ids: 1000 named control tokens, then VOCAB_SIZE - 1000 text
// tokens (distinct printable word pieces, many with a leading space), chosen by SEED.
std::string tekken_json(int vocab_size, uint64_t seed);

}  // namespace modelgen

#endif
