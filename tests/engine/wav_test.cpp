// WAV parsing, mixing and resampling, and the file and standard-input readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "speech.h"
#include "temp_dir.h"
#include "wav.h"

namespace {

using Samples = std::unique_ptr<float, decltype(&std::free)>;

std::string le16(uint16_t v) { return {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)}; }
std::string le32(uint32_t v) { return le16(static_cast<uint16_t>(v)) + le16(static_cast<uint16_t>(v >> 16)); }

std::string fmt_body(int format, int channels, uint32_t rate, int bits) {
  const int align = channels * bits / 8;
  return le16(static_cast<uint16_t>(format)) + le16(static_cast<uint16_t>(channels)) + le32(rate) +
         le32(rate * static_cast<uint32_t>(align)) + le16(static_cast<uint16_t>(align)) +
         le16(static_cast<uint16_t>(bits));
}

std::string pcm(const std::vector<int16_t>& s) {
  std::string out;
  for (int16_t v : s) out += le16(static_cast<uint16_t>(v));
  return out;
}

// A chunk as written: SIZE is what the header declares (the body's length unless overridden);
// PAD adds the pad byte after an odd body.
std::string chunk(const std::string& id, const std::string& body, int64_t size = -1, bool pad = true) {
  std::string out = id + le32(static_cast<uint32_t>(size < 0 ? static_cast<int64_t>(body.size()) : size)) + body;
  if (pad && body.size() % 2) out += '\0';
  return out;
}

std::string riff(const std::string& chunks) { return "RIFF" + le32(static_cast<uint32_t>(4 + chunks.size())) + "WAVE" + chunks; }

std::string wav(int channels, uint32_t rate, const std::vector<int16_t>& s) {
  return riff(chunk("fmt ", fmt_body(1, channels, rate, 16)) + chunk("data", pcm(s)));
}

struct Parsed {
  bool ok;
  std::vector<float> x;
  std::string err;
};

// Parses from an exactly sized heap copy, so a read past the image shows up under the sanitizers.
Parsed parse(const std::string& image) {
  std::vector<uint8_t> bytes(image.begin(), image.end());
  int n = -1;
  testing::internal::CaptureStderr();
  Samples x(parse_wav_buffer(bytes.data(), bytes.size(), &n), &std::free);
  Parsed p{x != nullptr, {}, testing::internal::GetCapturedStderr()};
  if (x) p.x.assign(x.get(), x.get() + n);
  return p;
}

std::string unsupported(int fmt, int bits) {
  return "parse_wav_buffer: unsupported format (need 16-bit PCM, got fmt=" + std::to_string(fmt) +
         " bits=" + std::to_string(bits) + ")\n";
}

// Linear interpolation at exact source positions i x rate / 16000, in double precision.
double reference_resample(const std::vector<double>& x, double rate, int64_t i) {
  const double p = static_cast<double>(i) * rate / 16000.0;
  const auto k = static_cast<int64_t>(p);
  const auto n = static_cast<int64_t>(x.size());
  if (k + 1 < n) return x[k] + (p - k) * (x[k + 1] - x[k]);
  return k < n ? x[k] : 0.0;
}

// Largest error of Y against exact interpolation of X, in units of what the engine may deviate:
// it forms its step in single precision (3.0000002 for 48 kHz), which shifts output i by
// i x (step error) source samples, each shift costing the local slope.
double resample_error(const std::vector<double>& x, uint32_t rate, const std::vector<float>& y) {
  const double step_err = std::fabs(static_cast<double>(static_cast<float>(rate) * 6.25e-5f) - rate / 16000.0);
  const auto n = static_cast<int64_t>(x.size());
  auto slope = [&](int64_t k) { return k >= 0 && k + 1 < n ? std::fabs(x[k + 1] - x[k]) : 1.0; };
  double worst = 0;
  for (int64_t i = 0; i < static_cast<int64_t>(y.size()); i++) {
    const auto k = static_cast<int64_t>(static_cast<double>(i) * rate / 16000.0);
    const double local = std::max({slope(k - 1), slope(k), slope(k + 1)});
    const double tol = step_err * static_cast<double>(i) * local * 1.01 + 1e-6;
    worst = std::max(worst, std::fabs(y[i] - reference_resample(x, rate, i)) / tol);
  }
  return worst;
}

TEST(Wav, SixteenKilohertzMonoIsScaledExactly) {
  const std::vector<int16_t> s = {0, 1, -1, 32767, -32768, 12345, -16384};
  const Parsed p = parse(wav(1, 16000, s));
  ASSERT_TRUE(p.ok) << p.err;
  ASSERT_EQ(p.x.size(), s.size());
  for (size_t i = 0; i < s.size(); i++) EXPECT_EQ(p.x[i], s[i] / 32768.0f) << i;
  EXPECT_EQ(p.x[4], -1.0f);
  EXPECT_EQ(p.err, "");
}

TEST(Wav, ChannelsAreAveragedAndPartialFrameIgnored) {
  const Parsed stereo = parse(wav(2, 16000, {16384, -16384, 32767, 32767, -32768, 0, 5, 7, 99}));
  ASSERT_TRUE(stereo.ok) << stereo.err;
  ASSERT_EQ(stereo.x.size(), 4u);  // the ninth sample is half a frame
  EXPECT_EQ(stereo.x[0], 0.0f);
  EXPECT_EQ(stereo.x[1], 32767.0f / 32768.0f);
  EXPECT_EQ(stereo.x[2], -0.5f);
  EXPECT_EQ(stereo.x[3], 6.0f / 32768.0f);

  const std::vector<int16_t> three = {1000, -2000, 30001, -32768, -32768, -32767};
  const Parsed p = parse(wav(3, 16000, three));
  ASSERT_TRUE(p.ok) << p.err;
  ASSERT_EQ(p.x.size(), 2u);
  for (int f = 0; f < 2; f++) {
    const double mean = (three[3 * f] + three[3 * f + 1] + three[3 * f + 2]) / 3.0 / 32768.0;
    EXPECT_NEAR(p.x[f], mean, 1e-7) << f;
  }
}

TEST(Wav, ResamplingMatchesLinearInterpolation) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> noise(-20000, 20000);
  for (const uint32_t rate : {48000u, 44100u, 22050u, 8000u}) {
    for (const bool sine : {true, false}) {
      std::vector<int16_t> s(rate);
      for (uint32_t i = 0; i < rate; i++)
        s[i] = static_cast<int16_t>(sine ? std::lround(30000 * std::sin(2 * M_PI * 440.0 * i / rate)) : noise(rng));
      std::vector<double> x(s.begin(), s.end());
      for (double& v : x) v /= 32768.0;
      const Parsed p = parse(wav(1, rate, s));
      ASSERT_TRUE(p.ok) << p.err;
      ASSERT_EQ(p.x.size(), 16000u) << rate;
      EXPECT_LE(resample_error(x, rate, p.x), 1.0) << rate << (sine ? " sine" : " noise");
    }
  }
}

TEST(Wav, LastOutputsInterpolateBetweenTheRightFrames) {
  // Alternating frames make every output's blend of its two neighbours visible.
  for (const auto& [rate, frac] : {std::pair{48000u, 0.0039}, std::pair{44100u, 0.246}}) {
    std::vector<int16_t> s(rate);
    for (uint32_t i = 0; i < rate; i++) s[i] = (i % 2) ? 16384 : 0;
    const Parsed p = parse(wav(1, rate, s));
    ASSERT_TRUE(p.ok) << p.err;
    ASSERT_EQ(p.x.size(), 16000u);
    // Output 15999 sits at 47997.004 (48 kHz) or 44097.246 (44.1 kHz): the odd frame below holds
    // 0.5, the even one above 0, so the output is 0.5 x (1 - frac).
    EXPECT_NEAR(p.x[15999], 0.5 * (1 - frac), 0.5 * 0.002) << rate;
  }
}

// A single-precision position has a 1-sample resolution past 2^23 and then skips and repeats
// source samples; positions must stay exact however long the recording.
TEST(Wav, ResamplingStaysExactDeepIntoLongRecordings) {
  const int n = 9'000'000;  // 204 s at 44.1 kHz: positions beyond 2^23
  std::vector<float> x(n);
  for (int i = 0; i < n; i++) x[i] = static_cast<float>(std::sin(i * 0.9));
  int out_n = 0;
  Samples y(orv_resample_16k(x.data(), n, 44100, &out_n), &std::free);
  ASSERT_TRUE(y);
  ASSERT_EQ(out_n, static_cast<int>(int64_t{n} * 16000 / 44100));
  const double step = static_cast<double>(44100.0f * 6.25e-5f);
  double worst = 0;
  for (int64_t i = out_n - 4000; i < out_n; i++) {
    const double p = step * static_cast<double>(i);
    const auto k = static_cast<int64_t>(p);
    const double want = k + 1 < n ? x[k] + (p - k) * (double{x[k + 1]} - x[k]) : x[k];
    worst = std::max(worst, std::fabs(y.get()[i] - want));
  }
  EXPECT_LT(worst, 1e-5);
}

TEST(Wav, RefusesWhatItCannotRead) {
  const std::string not_wav = "parse_wav_buffer: not a valid WAV file\n";
  const std::string ok = wav(1, 16000, {1, 2, 3, 4});
  EXPECT_EQ(parse(ok.substr(0, 43)).err, not_wav);
  EXPECT_EQ(parse("RIFX" + ok.substr(4)).err, not_wav);
  EXPECT_EQ(parse(ok.substr(0, 8) + "AVI " + ok.substr(12)).err, not_wav);

  const std::string data = chunk("data", pcm(std::vector<int16_t>(16)));
  EXPECT_EQ(parse(riff(chunk("fmt ", fmt_body(1, 1, 16000, 8)) + data)).err, unsupported(1, 8));
  EXPECT_EQ(parse(riff(chunk("fmt ", fmt_body(1, 1, 16000, 24)) + data)).err, unsupported(1, 24));
  EXPECT_EQ(parse(riff(chunk("fmt ", fmt_body(3, 1, 16000, 32)) + data)).err, unsupported(3, 32));
  EXPECT_EQ(parse(riff(chunk("fmt ", fmt_body(1, 0, 16000, 16)) + data)).err, unsupported(1, 16));
  EXPECT_EQ(parse(riff(chunk("LIST", std::string(16, 'x')) + data)).err, unsupported(0, 0));
  EXPECT_EQ(parse(riff(chunk("fmt ", fmt_body(1, 1, 16000, 16)) + chunk("LIST", std::string(30, 'x')))).err,
            unsupported(1, 16));
  // A "fmt " body shorter than 16 bytes is not taken.
  EXPECT_EQ(parse(riff(chunk("fmt ", fmt_body(1, 1, 16000, 16).substr(0, 14)) + data)).err, unsupported(0, 0));

  // A data chunk that claims more than is present ends the scan without being taken.
  const std::string fmt = chunk("fmt ", fmt_body(1, 1, 16000, 16));
  for (const int64_t size : {41ll, 42ll, 0xffffffffll})
    EXPECT_EQ(parse(riff(fmt + chunk("data", pcm(std::vector<int16_t>(20)), size))).err, unsupported(1, 16)) << size;

  const Parsed zero_rate = parse(riff(chunk("fmt ", fmt_body(1, 1, 0, 16)) + data));
  EXPECT_FALSE(zero_rate.ok);
  EXPECT_EQ(zero_rate.err, "parse_wav_buffer: unsupported sample rate 0 Hz\n");
}

TEST(Wav, HostileChunkLayoutsAreScannedSafely) {
  const std::string fmt = chunk("fmt ", fmt_body(1, 1, 16000, 16));
  const std::string data = chunk("data", pcm({100, 200, 300}));

  // Sizes near 2^32: an offset computed in 32 bits would wrap back into the image.
  for (const uint32_t size : {0xffffffffu, 0xfffffff8u, 0xfffffff4u, 0x80000000u}) {
    const Parsed p = parse(riff(fmt + chunk("junk", "", size) + data));
    EXPECT_FALSE(p.ok) << size;
    EXPECT_EQ(p.err, unsupported(1, 16)) << size;
  }

  // Odd sizes: the pad byte is skipped between chunks and may be missing at the very end.
  Parsed p = parse(riff(fmt + chunk("LIST", "abc") + data));
  ASSERT_TRUE(p.ok) << p.err;
  EXPECT_EQ(p.x.size(), 3u);
  p = parse(riff(fmt + chunk("data", pcm({7, 8}) + "\x01", -1, false)));
  ASSERT_TRUE(p.ok) << p.err;
  EXPECT_EQ(p.x, (std::vector<float>{7 / 32768.0f, 8 / 32768.0f}));

  // Chunks in any order; later ones replace earlier ones.
  p = parse(riff(chunk("data", pcm({1, 2, 3, 4})) + chunk("fmt ", fmt_body(1, 1, 8000, 16)) +
                 chunk("fmt ", fmt_body(1, 2, 16000, 16)) + data + chunk("data", pcm({50, 70}))));
  ASSERT_TRUE(p.ok) << p.err;
  EXPECT_EQ(p.x, (std::vector<float>{60 / 32768.0f}));

  // Nothing after the data but a truncated chunk header.
  p = parse(riff(fmt + data + "LIS"));
  ASSERT_TRUE(p.ok) << p.err;
  EXPECT_EQ(p.x.size(), 3u);
}

TEST(Wav, EmptyDataAndExtremeRatesGiveEmptyResults) {
  const std::string empty = wav(1, 16000, {});
  ASSERT_EQ(empty.size(), 44u);
  Parsed p = parse(empty);
  EXPECT_TRUE(p.ok) << p.err;
  EXPECT_TRUE(p.x.empty());

  p = parse(wav(1, 0xffffffffu, std::vector<int16_t>(1000, 5)));
  EXPECT_TRUE(p.ok) << p.err;
  EXPECT_TRUE(p.x.empty());
  p = parse(wav(2, 4'000'000'000u, std::vector<int16_t>(1'000'000, 5)));
  ASSERT_TRUE(p.ok) << p.err;
  EXPECT_EQ(p.x.size(), 2u);
}

// Upsampling 134 million frames from 1 kHz would exceed an int's worth of output samples. The
// image lives in untouched anonymous memory, so the refusal must come before the data is read.
TEST(Wav, RefusesOutputCountsBeyondInt) {
  const size_t data_bytes = 0xfffffffeu;
  const size_t len = 44 + data_bytes;
  void* mem = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  const std::string header = riff(chunk("fmt ", fmt_body(1, 1, 1000, 16))) + "data" + le32(static_cast<uint32_t>(data_bytes));
  std::memcpy(mem, header.data(), header.size());
  int n = -1;
  testing::internal::CaptureStderr();
  float* x = parse_wav_buffer(static_cast<const uint8_t*>(mem), len, &n);
  const std::string err = testing::internal::GetCapturedStderr();
  munmap(mem, len);
  EXPECT_EQ(x, nullptr);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(err, "parse_wav_buffer: audio too long (34359738352 samples at 16 kHz)\n");
}

TEST(Wav, ResampleVerboseLineOnlyWhenAsked) {
  const std::string image = wav(1, 48000, std::vector<int16_t>(4800, 9));
  EXPECT_EQ(parse(image).err, "");
  orv_audio_verbose = 1;
  const Parsed p = parse(image);
  orv_audio_verbose = 0;
  EXPECT_EQ(p.err, "  Resampled 48000 -> 16000 Hz (1600 samples)\n");
}

TEST(LoadWav, ReadsEspeakSpeech) {
  const std::string path = speech_wav("The quick brown fox jumps over the lazy dog.");
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 44u);
  ASSERT_EQ(bytes.substr(36, 4), "data");  // espeak-ng writes the canonical 44-byte header
  std::vector<double> x((bytes.size() - 44) / 2);
  for (size_t i = 0; i < x.size(); i++)
    x[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[44 + 2 * i]) | (static_cast<uint8_t>(bytes[45 + 2 * i]) << 8)) / 32768.0;

  int n = 0;
  Samples y(orv_load_wav(path.c_str(), &n), &std::free);
  ASSERT_TRUE(y);
  ASSERT_EQ(n, static_cast<int>(x.size() * 16000 / 22050));
  const std::vector<float> out(y.get(), y.get() + n);
  EXPECT_LE(resample_error(x, 22050, out), 1.0);
  double energy = 0;
  for (float v : out) energy += double{v} * v;
  EXPECT_GT(std::sqrt(energy / n), 0.01) << "espeak-ng produced near silence";
}

TEST(LoadWav, MissingEmptyAndDirectoryPathsFail) {
  TempDir dir;
  int n = -1;
  const std::string missing = dir.file("missing.wav");
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_load_wav(missing.c_str(), &n), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "orv_load_wav: cannot open " + missing + "\n");
  EXPECT_EQ(n, 0);

  const std::string empty = dir.write("empty.wav", "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_load_wav(empty.c_str(), &n), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_load_wav(dir.path().c_str(), &n), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "orv_load_wav: " + dir.path().string() + " is not a regular file\n");

  const std::string ok = dir.write("ok.wav", wav(1, 16000, {1, 2}));
  Samples x(orv_load_wav(ok.c_str(), &n), &std::free);
  ASSERT_TRUE(x);
  EXPECT_EQ(n, 2);
}

// Runs orv_read_pcm_stdin with file descriptor 0 replaced by FD.
struct StdinResult {
  bool ok;
  std::vector<float> x;
  std::string err;
};

StdinResult read_stdin_from(int fd) {
  const int saved = dup(0);
  dup2(fd, 0);
  int n = -1;
  testing::internal::CaptureStderr();
  Samples x(orv_read_pcm_stdin(&n), &std::free);
  StdinResult r{x != nullptr, {}, testing::internal::GetCapturedStderr()};
  dup2(saved, 0);
  close(saved);
  if (x) r.x.assign(x.get(), x.get() + n);
  return r;
}

// Feeds BYTES through a pipe from a second thread, as a shell pipeline would.
StdinResult read_stdin(const std::string& bytes) {
  int p[2];
  if (pipe(p) != 0) return {false, {}, "pipe failed"};
  std::thread writer([&] {
    size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t w = write(p[1], bytes.data() + off, bytes.size() - off);
      if (w <= 0) break;
      off += static_cast<size_t>(w);
    }
    close(p[1]);
  });
  StdinResult r = read_stdin_from(p[0]);
  writer.join();
  close(p[0]);
  return r;
}

TEST(ReadStdin, RawSamplesThroughAPipe) {
  StdinResult r = read_stdin(pcm({1000, -1000}) + "\x7f");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.x, (std::vector<float>{1000 / 32768.0f, -1000 / 32768.0f}));
  EXPECT_EQ(r.err, "Read 5 bytes from stdin\nTreating stdin as raw s16le 16kHz mono\n");

  // Three megabytes: more than a pipe holds and more than the first buffer.
  std::vector<int16_t> s(1'500'000);
  for (size_t i = 0; i < s.size(); i++) s[i] = static_cast<int16_t>(i * 7919);
  r = read_stdin(pcm(s));
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.x.size(), s.size());
  for (size_t i = 0; i < s.size(); i += 997) ASSERT_EQ(r.x[i], s[i] / 32768.0f) << i;
  EXPECT_EQ(r.x.back(), s.back() / 32768.0f);
}

TEST(ReadStdin, WavThroughAPipe) {
  std::vector<int16_t> s(96000);
  for (size_t i = 0; i < s.size(); i++) s[i] = static_cast<int16_t>(std::lround(20000 * std::sin(i * 0.01)));
  const std::string image = wav(2, 48000, s);
  const StdinResult r = read_stdin(image);
  ASSERT_TRUE(r.ok) << r.err;
  EXPECT_EQ(r.err, "Read " + std::to_string(image.size()) + " bytes from stdin\nDetected WAV format on stdin\n");
  const Parsed direct = parse(image);
  EXPECT_EQ(r.x, direct.x);
  EXPECT_EQ(r.x.size(), 16000u);
}

TEST(ReadStdin, TooLittleInputOrAReadErrorFails) {
  StdinResult r = read_stdin("abc");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, "orv_read_pcm_stdin: no data on stdin\n");
  r = read_stdin("");
  EXPECT_EQ(r.err, "orv_read_pcm_stdin: no data on stdin\n");
  r = read_stdin("RIFF....WAVE");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, "Read 12 bytes from stdin\nDetected WAV format on stdin\nparse_wav_buffer: not a valid WAV file\n");

  // read() on a directory fails with EISDIR: a failure, not an empty recording.
  const int dir = open(".", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  r = read_stdin_from(dir);
  close(dir);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err.rfind("orv_read_pcm_stdin: read error: ", 0), 0u) << r.err;
}

}  // namespace
