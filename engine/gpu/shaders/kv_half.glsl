// Half-precision key/value rows, two values per word: the value at element I of a binding.
float half_at(uint word, uint i) {
  const vec2 pair = unpackHalf2x16(word);
  return (i & 1u) == 0u ? pair.x : pair.y;
}
