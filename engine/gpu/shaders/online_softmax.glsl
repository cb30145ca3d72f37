// One step of attention's single-pass softmax: fold key score S with value V into the running
// maximum M, sum L and accumulator ACC.
void online_update(inout float m, inout float l, inout float acc, float s, float v) {
  const float m_new = max(m, s);
  const float c = exp(m - m_new);
  const float e = exp(s - m_new);
  l = fma(l, c, e);
  acc = fma(acc, c, e * v);
  m = m_new;
}

// The first key a query at Q_POS sees: all earlier keys without a window.
int window_start(int q_pos, int window_size) {
  return window_size > 0 ? max(0, q_pos - window_size + 1) : 0;
}
