// Rotates pair (2i, 2i+1) of a head by the (cos, sin) pair at freqs[f], f even.
void rotate_pair(uint base, uint i, uint f) {
  const float c = freqs[f], s = freqs[f + 1u];
  const float x0 = data[base + 2u * i], x1 = data[base + 2u * i + 1u];
  data[base + 2u * i] = x0 * c - x1 * s;
  data[base + 2u * i + 1u] = x0 * s + x1 * c;
}
