#include "pcm_audio.h"

#include <algorithm>
#include <cmath>

namespace {

void put_le(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; i++) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

}  // namespace

std::vector<int16_t> to_pcm16(const std::vector<float>& samples) {
  std::vector<int16_t> pcm(samples.size());
  for (size_t i = 0; i < samples.size(); i++)
    pcm[i] = static_cast<int16_t>(std::clamp(std::lround(samples[i] * 32768.0), -32768L, 32767L));
  return pcm;
}

std::vector<float> from_pcm16(const std::vector<int16_t>& pcm) {
  std::vector<float> x(pcm.size());
  for (size_t i = 0; i < pcm.size(); i++) x[i] = static_cast<float>(pcm[i] / 32768.0);
  return x;
}

std::string pcm16_bytes(const std::vector<int16_t>& pcm) {
  std::string out;
  for (int16_t s : pcm) put_le(out, static_cast<uint16_t>(s), 2);
  return out;
}

std::string wav_image(const std::vector<int16_t>& pcm, uint32_t rate, int channels) {
  const uint32_t data = static_cast<uint32_t>(pcm.size() * 2);
  std::string out = "RIFF";
  put_le(out, 36 + data, 4);
  out += "WAVEfmt ";
  put_le(out, 16, 4);
  put_le(out, 1, 2);  // PCM
  put_le(out, static_cast<uint32_t>(channels), 2);
  put_le(out, rate, 4);
  put_le(out, rate * static_cast<uint32_t>(channels) * 2, 4);
  put_le(out, static_cast<uint32_t>(channels) * 2, 2);
  put_le(out, 16, 2);
  out += "data";
  put_le(out, data, 4);
  return out + pcm16_bytes(pcm);
}
