#include "net_reference.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

double widen(uint16_t v) {
  const uint32_t bits = uint32_t{v} << 16;
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// y [rows][out] = x [rows][in] W^T (+ bias), W [out][in] in BF16.
std::vector<double> linear(const std::vector<double>& x, int rows, const uint16_t* w,
                           const float* bias, int in, int out, const WeightReader& read = {}) {
  std::vector<double> wd(size_t(out) * in);
  for (size_t i = 0; i < wd.size(); i++) wd[i] = read ? read(w, i) : widen(w[i]);
  std::vector<double> y(size_t(rows) * out);
  for (int r = 0; r < rows; r++)
    for (int o = 0; o < out; o++) {
      double s = bias ? bias[o] : 0.0;
      for (int i = 0; i < in; i++) s += x[size_t(r) * in + i] * wd[size_t(o) * in + i];
      y[size_t(r) * out + o] = s;
    }
  return y;
}

std::vector<double> rms_norm(const std::vector<double>& x, int rows, int dim, const float* w) {
  std::vector<double> y(x.size());
  for (int r = 0; r < rows; r++) {
    double ss = 0;
    for (int i = 0; i < dim; i++) ss += x[size_t(r) * dim + i] * x[size_t(r) * dim + i];
    const double inv = 1.0 / std::sqrt(ss / dim + 1e-5);
    for (int i = 0; i < dim; i++) y[size_t(r) * dim + i] = x[size_t(r) * dim + i] * inv * w[i];
  }
  return y;
}

double gelu(double x) {
  return 0.5 * x * (1.0 + std::tanh(std::sqrt(2.0 / M_PI) * (x + 0.044715 * x * x * x)));
}
double silu(double x) { return x / (1.0 + std::exp(-x)); }

// Rotates adjacent pairs of each head of x [rows][heads * head_dim]; row r sits at FIRST + r.
void rope(std::vector<double>& x, int rows, int heads, int head_dim, int first) {
  for (int r = 0; r < rows; r++)
    for (int h = 0; h < heads; h++)
      for (int i = 0; i < head_dim / 2; i++) {
        const double freq = std::pow(1e6, -2.0 * i / head_dim);
        const double angle = double(first + r) * freq;
        double* p = &x[(size_t(r) * heads + h) * head_dim + 2 * i];
        const double a = p[0], b = p[1];
        p[0] = a * std::cos(angle) - b * std::sin(angle);
        p[1] = a * std::sin(angle) + b * std::cos(angle);
      }
}

// Causal softmax attention with a window: query r sees keys max(0, r - window + 1) .. r.
std::vector<double> attention(const std::vector<double>& q, const std::vector<double>& k,
                              const std::vector<double>& v, int rows, const orv_block_shape_t& s) {
  const int hd = s.head_dim, group = s.heads / s.kv_heads;
  std::vector<double> out(size_t(rows) * s.heads * hd, 0.0);
  for (int r = 0; r < rows; r++)
    for (int h = 0; h < s.heads; h++) {
      const int g = h / group;
      const int first = std::max(0, r - s.window + 1);
      std::vector<double> scores;
      for (int j = first; j <= r; j++) {
        double dot = 0;
        for (int d = 0; d < hd; d++)
          dot += q[(size_t(r) * s.heads + h) * hd + d] * k[(size_t(j) * s.kv_heads + g) * hd + d];
        scores.push_back(dot / std::sqrt(double(hd)));
      }
      const double mx = *std::max_element(scores.begin(), scores.end());
      double sum = 0;
      for (double& e : scores) sum += (e = std::exp(e - mx));
      for (int j = first; j <= r; j++)
        for (int d = 0; d < hd; d++)
          out[(size_t(r) * s.heads + h) * hd + d] +=
              scores[j - first] / sum * v[(size_t(j) * s.kv_heads + g) * hd + d];
    }
  return out;
}

struct LayerRef {
  const float* attention_norm;
  const uint16_t *wq, *wk, *wv, *wo, *w1, *w2, *w3;
  const float *wq_bias, *wv_bias, *wo_bias, *w2_bias;  // null in the decoder
  const float* ffn_norm;
  const float* ada;  // [dim] or null
};

void layer(std::vector<double>& x, int rows, const orv_block_shape_t& s, const LayerRef& w,
           int first_pos, const WeightReader& read = {}) {
  const int dim = s.dim, qd = s.heads * s.head_dim, kvd = s.kv_heads * s.head_dim;
  std::vector<double> h = rms_norm(x, rows, dim, w.attention_norm);
  std::vector<double> q = linear(h, rows, w.wq, w.wq_bias, dim, qd, read);
  std::vector<double> k = linear(h, rows, w.wk, nullptr, dim, kvd, read);
  std::vector<double> v = linear(h, rows, w.wv, w.wv_bias, dim, kvd, read);
  rope(q, rows, s.heads, s.head_dim, first_pos);
  rope(k, rows, s.kv_heads, s.head_dim, first_pos);
  std::vector<double> p = linear(attention(q, k, v, rows, s), rows, w.wo, w.wo_bias, qd, dim, read);
  for (size_t i = 0; i < x.size(); i++) x[i] += p[i];
  h = rms_norm(x, rows, dim, w.ffn_norm);
  if (w.ada)
    for (int r = 0; r < rows; r++)
      for (int j = 0; j < dim; j++) h[size_t(r) * dim + j] *= 1.0 + w.ada[j];
  std::vector<double> g = linear(h, rows, w.w1, nullptr, dim, s.hidden, read);
  std::vector<double> u = linear(h, rows, w.w3, nullptr, dim, s.hidden, read);
  for (size_t i = 0; i < g.size(); i++) g[i] = silu(g[i]) * u[i];
  std::vector<double> f = linear(g, rows, w.w2, w.w2_bias, s.hidden, dim, read);
  for (size_t i = 0; i < x.size(); i++) x[i] += f[i];
}

}  // namespace

std::vector<double> ref_encoder(const orv_ctx_t& ctx, const float* mel, int n) {
  const orv_block_shape_t& s = ctx.shape.encoder;
  const int dim = s.dim, len = (n + 1) / 2;
  const orv_encoder_t& e = ctx.encoder;
  // Causal stem: output t of the first convolution reads frames t-2..t, output t of the second
  // reads first-convolution outputs 2t-1..2t+1; frames before 0 or past the end are zero.
  std::vector<double> c0(size_t(n) * dim);  // [t][c]
  for (int t = 0; t < n; t++)
    for (int co = 0; co < dim; co++) {
      double acc = e.conv0_bias[co];
      for (int ci = 0; ci < ORV_MEL_BINS; ci++)
        for (int k = 0; k < 3; k++) {
          const int j = t - 2 + k;
          if (j >= 0)
            acc += e.conv0_weight[(size_t(co) * ORV_MEL_BINS + ci) * 3 + k] *
                   double(mel[size_t(j) * ORV_MEL_BINS + ci]);
        }
      c0[size_t(t) * dim + co] = gelu(acc);
    }
  std::vector<double> x(size_t(len) * dim);
  for (int t = 0; t < len; t++)
    for (int co = 0; co < dim; co++) {
      double acc = e.conv1_bias[co];
      for (int ci = 0; ci < dim; ci++)
        for (int k = 0; k < 3; k++) {
          const int j = 2 * t - 1 + k;
          if (j >= 0 && j < n)
            acc += e.conv1_weight[(size_t(co) * dim + ci) * 3 + k] * c0[size_t(j) * dim + ci];
        }
      x[size_t(t) * dim + co] = gelu(acc);
    }
  for (const orv_enc_layer_t& w : e.layers)
    layer(x, len, s,
          {w.attention_norm.get(), w.wq_weight_bf16, w.wk_weight_bf16, w.wv_weight_bf16,
           w.wo_weight_bf16, w.w1_weight_bf16, w.w2_weight_bf16, w.w3_weight_bf16, w.wq_bias.get(),
           w.wv_bias.get(), w.wo_bias.get(), w.w2_bias.get(), w.ffn_norm.get(), nullptr},
          0);
  return rms_norm(x, len, dim, e.norm.get());
}

std::vector<double> ref_adapter(const orv_ctx_t& ctx, const float* states, int n) {
  const int enc = ctx.shape.encoder.dim, dec = ctx.shape.decoder.dim, m = n / 4;
  std::vector<double> stacked(size_t(m) * 4 * enc);
  for (int g = 0; g < m; g++)
    for (int part = 0; part < 4; part++)
      for (int i = 0; i < enc; i++)
        stacked[size_t(g) * 4 * enc + size_t(part) * enc + i] =
            states[size_t(4 * g + part) * enc + i];
  std::vector<double> h =
      linear(stacked, m, ctx.adapter.linear0_weight_bf16, nullptr, 4 * enc, dec);
  for (double& v : h) v = gelu(v);
  return linear(h, m, ctx.adapter.linear1_weight_bf16, nullptr, dec, dec);
}

std::vector<double> ref_decoder_logits(const orv_ctx_t& ctx, const float* embeds, int n,
                                       int first_pos, const WeightReader& read) {
  const orv_block_shape_t& s = ctx.shape.decoder;
  std::vector<double> x(embeds, embeds + size_t(n) * s.dim);
  for (int l = 0; l < s.layers; l++) {
    const orv_dec_layer_t& w = ctx.decoder.layers[l];
    const float* ada = ctx.ada_scale.empty() ? nullptr : ctx.ada_scale.data() + size_t(l) * s.dim;
    layer(x, n, s,
          {w.attention_norm.get(), w.wq_weight_bf16, w.wk_weight_bf16, w.wv_weight_bf16,
           w.wo_weight_bf16, w.w1_weight_bf16, w.w2_weight_bf16, w.w3_weight_bf16, nullptr, nullptr,
           nullptr, nullptr, w.ffn_norm.get(), ada},
          first_pos, read);
  }
  return linear(rms_norm(x, n, s.dim, ctx.decoder.norm.get()), n, ctx.decoder.tok_embeddings_bf16,
                nullptr, s.dim, s.vocab, read);
}

double max_rel_diff(const float* a, const double* b, size_t n) {
  double diff = 0, scale = 1;
  for (size_t i = 0; i < n; i++) {
    diff = std::max(diff, std::fabs(double(a[i]) - b[i]));
    scale = std::max(scale, std::fabs(b[i]));
  }
  return diff / scale;
}

double max_rel_diff(const float* a, const float* b, size_t n) {
  std::vector<double> bd(b, b + n);
  return max_rel_diff(a, bd.data(), n);
}
