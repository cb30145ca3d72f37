// WAV parsing, mixing and resampling, and the file and standard-input readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "audio/wav.h"
#include "speech.h"
#include "temp_dir.h"

namespace {

std::string le16(uint32_t v) { return {char(v & 0xff), char((v >> 8) & 0xff)}; }
std::string le32(uint32_t v) { return le16(v) + le16(v >> 16); }
std::string fmt(int format, int channels, uint32_t rate, int bits) {
  return "fmt " + le32(16) + le16(format) + le16(channels) + le32(rate) + le32(rate * channels * bits / 8) +
         le16(channels * bits / 8) + le16(bits);
}
std::string pcm(const std::vector<int16_t>& s) {
  std::string out;
  for (int16_t v : s) out += le16(uint16_t(v));
  return out;
}
// SIZE overrides the declared body size; PAD adds the pad byte after an odd body.
std::string chunk(const std::string& id, const std::string& body, int64_t size = -1, bool pad = true) {
  return id + le32(uint32_t(size < 0 ? int64_t(body.size()) : size)) + body + std::string(pad && body.size() % 2, '\0');
}
std::string riff(const std::string& chunks) { return "RIFF" + le32(uint32_t(4 + chunks.size())) + "WAVE" + chunks; }
std::string wav(int channels, uint32_t rate, const std::vector<int16_t>& s) {
  return riff(fmt(1, channels, rate, 16) + chunk("data", pcm(s)));
}
// WAVE_FORMAT_EXTENSIBLE with the standard GUID of sub-format CODE (its tail altered by TAIL).
std::string extensible(int code, int channels, uint32_t rate, int bits, int tail = 0x71) {
  const std::string guid = le16(code) + std::string("\0\0\0\0\x10\0\x80\0\0\xaa\0\x38\x9b", 13) + char(tail);
  return "fmt " + le32(40) + fmt(0xfffe, channels, rate, bits).substr(8) + le16(22) + le16(bits) + le32(3) + guid;
}

struct Result {
  bool ok;
  std::vector<float> x;
  std::string err;
};

// Runs READ (returning a malloc'd array and its count) with standard error captured.
template <typename Read>
Result capture(Read read) {
  int n = -1;
  testing::internal::CaptureStderr();
  float* x = read(&n);
  Result r{x != nullptr, {}, testing::internal::GetCapturedStderr()};
  if (x) r.x.assign(x, x + n);
  if (!x) {
    EXPECT_EQ(n, 0);
  }
  std::free(x);
  return r;
}

// Parses from an exactly sized heap copy, so a read past the image shows under the sanitizers.
Result parse(const std::string& image) {
  const std::vector<uint8_t> bytes(image.begin(), image.end());
  return capture([&](int* n) { return parse_wav_buffer(bytes.data(), bytes.size(), n); });
}

// Largest error of Y against interpolation at exact positions i x rate / 16000, in double, in
// units of what the engine may deviate: its step is formed in single precision (3.0000002 for
// 48 kHz), which shifts output i by i x (step error) samples, each costing the local slope.
double resample_error(const std::vector<double>& x, uint32_t rate, const std::vector<float>& y) {
  const double step_err = std::fabs(double(float(rate) * 6.25e-5f) - rate / 16000.0);
  const auto n = int64_t(x.size());
  auto slope = [&](int64_t k) { return k >= 0 && k + 1 < n ? std::fabs(x[k + 1] - x[k]) : 1.0; };
  double worst = 0;
  for (int64_t i = 0; i < int64_t(y.size()); i++) {
    const double p = double(i) * rate / 16000.0;
    const auto k = int64_t(p);
    const double want = k + 1 < n ? x[k] + (p - k) * (x[k + 1] - x[k]) : k < n ? x[k] : 0.0;
    const double tol = step_err * double(i) * std::max({slope(k - 1), slope(k), slope(k + 1)}) * 1.01 + 1e-6;
    worst = std::max(worst, std::fabs(y[i] - want) / tol);
  }
  return worst;
}

TEST(Wav, ScalesSamplesAndAveragesChannels) {
  Result r = parse(wav(1, 16000, {0, 1, 32767, -32768, -12345}));
  EXPECT_EQ(r.x, (std::vector<float>{0, 1 / 32768.0f, 32767 / 32768.0f, -1, -12345 / 32768.0f})) << r.err;
  // The ninth stereo sample is half a frame and ignored.
  r = parse(wav(2, 16000, {16384, -16384, 32767, 32767, -32768, 0, 5, 7, 99}));
  EXPECT_EQ(r.x, (std::vector<float>{0, 32767 / 32768.0f, -0.5f, 6 / 32768.0f})) << r.err;
  r = parse(wav(3, 16000, {1000, -2000, 30001, -32768, -32768, -32767}));
  ASSERT_EQ(r.x.size(), 2u) << r.err;
  EXPECT_NEAR(r.x[0], 29001 / 3.0 / 32768, 1e-7);
  EXPECT_NEAR(r.x[1], -98303 / 3.0 / 32768, 1e-7);
}

TEST(Wav, ResamplingMatchesLinearInterpolation) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> noise(-20000, 20000);
  for (const uint32_t rate : {48000u, 44100u, 8000u}) {
    for (const bool sine : {true, false}) {
      std::vector<int16_t> s(rate);
      for (uint32_t i = 0; i < rate; i++) s[i] = sine ? int16_t(std::lround(30000 * std::sin(0.17 * i))) : noise(rng);
      const Result r = parse(wav(1, rate, s));
      ASSERT_EQ(r.x.size(), 16000u) << rate << r.err;
      std::vector<double> x(s.begin(), s.end());
      for (double& v : x) v /= 32768;
      EXPECT_LE(resample_error(x, rate, r.x), 1.0) << rate << (sine ? " sine" : " noise");
    }
  }
}

// Positions in single precision lose the interpolation fraction past 2^23 and then skip and
// repeat samples; they must stay exact however long the recording.
TEST(Wav, ResamplingStaysExactDeepIntoLongRecordings) {
  const int n = 9'000'000;  // 204 s at 44.1 kHz
  std::vector<float> x(n);
  for (int i = 0; i < n; i++) x[i] = float(std::sin(i * 0.9));
  int out_n = 0;
  std::unique_ptr<float, decltype(&std::free)> y(orv_resample_16k(x.data(), n, 44100, &out_n), &std::free);
  ASSERT_EQ(out_n, int(int64_t(n) * 16000 / 44100));
  std::vector<double> xd(x.begin(), x.end());
  // The reference's own single-precision step, so only the positions' precision is measured.
  const double step = double(44100.0f * 6.25e-5f);
  for (int64_t i = out_n - 4000; i < out_n; i++) {
    const double p = step * double(i);
    const auto k = int64_t(p);
    ASSERT_NEAR(y.get()[i], xd[k] + (p - k) * (xd[k + 1] - xd[k]), 1e-5) << i;
  }
}

TEST(Wav, RefusesWhatItCannotReadNamingTheReason) {
  const std::string ok = wav(1, 16000, {1, 2, 3, 4}), not_wav = "parse_wav_buffer: not a valid WAV file\n";
  for (const std::string& image : {ok.substr(0, 43), "RIFX" + ok.substr(4), ok.substr(0, 8) + "AVI " + ok.substr(12)})
    EXPECT_EQ(parse(image).err, not_wav);
  const std::string data = chunk("data", pcm(std::vector<int16_t>(16))), only = ": only 16-bit PCM WAV is read directly\n";
  const std::pair<std::string, std::string> cases[] = {
      {fmt(1, 1, 16000, 8) + data, "8-bit samples" + only},
      {fmt(1, 1, 16000, 24) + data, "24-bit samples" + only},
      {fmt(3, 1, 16000, 32) + data, "32-bit floating-point samples" + only},
      {extensible(3, 2, 16000, 32) + data, "32-bit floating-point samples" + only},
      {extensible(1, 2, 16000, 16, 0x42) + data, "extensible format with an unknown sub-format" + only},
      {fmt(6, 1, 8000, 8) + data, "A-law samples" + only},
      {fmt(0x55, 1, 16000, 0) + data, "compressed audio (format 0x0055)" + only},
      {fmt(1, 0, 16000, 16) + data, "no channels\n"},
      {fmt(1, 1, 0, 16) + data, "unsupported sample rate 0 Hz\n"},
      {chunk("LIST", std::string(16, 'x')) + data, "no \"fmt \" chunk\n"},
      {chunk("fmt ", fmt(1, 1, 16000, 16).substr(8, 14)) + data, "no \"fmt \" chunk\n"},  // body under 16 bytes
      {fmt(1, 1, 16000, 16) + chunk("LIST", std::string(30, 'x')), "no \"data\" chunk\n"},
  };
  for (const auto& [chunks, reason] : cases) EXPECT_EQ(parse(riff(chunks)).err, "parse_wav_buffer: " + reason);
}

// What recorders and converters write when they stream to a pipe or cannot seek back: placeholder
// sizes, the extensible format, chunks of odd size before the samples.
TEST(Wav, ReadsWhatRecordersWrite) {
  const std::vector<int16_t> s = {100, -200, 300, -400, 500, -600, 700, -800};
  const std::vector<float> mono = parse(wav(1, 16000, s)).x, stereo = parse(wav(2, 16000, s)).x;
  ASSERT_EQ(mono.size(), s.size());
  // Data and RIFF sizes unknown (0, 0x80000000, 0xFFFFFFFF, sox's 0x7ffff000) or past the end:
  // the samples run to the end, a trailing odd byte dropped.
  for (const uint32_t size : {0u, 0x80000000u, 0xffffffffu, 0x7ffff000u, 18u}) {
    std::string image = riff(fmt(1, 1, 16000, 16) + chunk("data", pcm(s) + "\x01", size, false));
    image.replace(4, 4, le32(size));
    EXPECT_EQ(parse(image).x, mono) << size;
  }
  EXPECT_EQ(parse(riff(extensible(1, 2, 16000, 16) + chunk("data", pcm(s)))).x, stereo);
  EXPECT_EQ(parse(riff(chunk("LIST", "abc") + fmt(1, 1, 16000, 16) + chunk("bext", std::string(601, 'b')) +
                       chunk("data", pcm(s)) + chunk("LIST", "trailing"))).x,
            mono);
}

TEST(Wav, HostileChunkLayoutsAreScannedSafely) {
  const std::string f = fmt(1, 1, 16000, 16), data = chunk("data", pcm({100, 200, 300}));
  // Sizes near 2^32 in another chunk: an offset computed in 32 bits would wrap back into the image.
  for (const uint32_t size : {0xffffffffu, 0xfffffff8u, 0xfffffff4u, 0x80000000u})
    EXPECT_EQ(parse(riff(f + chunk("junk", "", size) + data)).err, "parse_wav_buffer: no \"data\" chunk\n") << size;
  // Any order, later chunks replacing earlier ones, a truncated header at the end.
  const Result r = parse(riff(chunk("data", pcm({1, 2, 3, 4})) + fmt(1, 1, 8000, 16) + fmt(1, 2, 16000, 16) + data +
                              chunk("data", pcm({50, 70})) + "LIS"));
  EXPECT_EQ(r.x, (std::vector<float>{60 / 32768.0f})) << r.err;
  // Empty data and absurd rates give valid, empty or tiny, results.
  EXPECT_TRUE(parse(wav(1, 16000, {})).ok);
  EXPECT_EQ(parse(wav(1, 0xffffffffu, std::vector<int16_t>(1000, 5))).x.size(), 0u);
  EXPECT_EQ(parse(wav(2, 4'000'000'000u, std::vector<int16_t>(1'000'000, 5))).x.size(), 2u);
}

// 2^31 frames upsampled from 1 kHz would be 34 billion samples. The image lies in untouched
// anonymous memory, so the refusal must come before the data is read.
TEST(Wav, RefusesOutputCountsBeyondInt) {
  const size_t len = size_t{44} + 0xfffffffeu;
  void* mem = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  const std::string header = riff(fmt(1, 1, 1000, 16)) + "data" + le32(0xfffffffeu);
  std::memcpy(mem, header.data(), header.size());
  const Result r = capture([&](int* n) { return parse_wav_buffer(static_cast<uint8_t*>(mem), len, n); });
  munmap(mem, len);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, "parse_wav_buffer: audio too long (34359738352 samples at 16 kHz)\n");
}

TEST(LoadWav, ReadsEspeakSpeechAndRefusesWhatIsNotAFile) {
  const std::string path = speech_wav("The quick brown fox jumps over the lazy dog.");
  const std::string bytes = read_file(path);
  ASSERT_EQ(bytes.substr(36, 4), "data");  // espeak-ng writes the canonical 44-byte header
  std::vector<double> x((bytes.size() - 44) / 2);
  for (size_t i = 0; i < x.size(); i++) x[i] = int16_t(uint8_t(bytes[44 + 2 * i]) | uint8_t(bytes[45 + 2 * i]) << 8) / 32768.0;
  orv_audio_verbose = 1;
  const Result r = capture([&](int* n) { return orv_load_wav(path.c_str(), n); });
  orv_audio_verbose = 0;
  const size_t want = x.size() * 16000 / 22050;
  ASSERT_EQ(r.x.size(), want);
  EXPECT_EQ(r.err, "  Resampled 22050 -> 16000 Hz (" + std::to_string(want) + " samples)\n");
  EXPECT_LE(resample_error(x, 22050, r.x), 1.0);
  EXPECT_GT(*std::max_element(r.x.begin(), r.x.end()), 0.1f) << "espeak-ng produced near silence";

  TempDir dir;
  const std::string missing = dir.file("missing.wav"), empty = dir.write("empty.wav", "");
  EXPECT_EQ(capture([&](int* n) { return orv_load_wav(missing.c_str(), n); }).err, "orv_load_wav: cannot open " + missing + "\n");
  const Result e = capture([&](int* n) { return orv_load_wav(empty.c_str(), n); });
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.err, "orv_load_wav: " + empty + " is empty\n");
  EXPECT_EQ(capture([&](int* n) { return orv_load_wav(dir.path().c_str(), n); }).err,
            "orv_load_wav: " + dir.path().string() + " is not a regular file\n");
}

// orv_read_pcm_stdin with file descriptor 0 replaced by FD.
Result read_stdin_from(int fd) {
  const int saved = dup(0);
  dup2(fd, 0);
  Result r = capture(orv_read_pcm_stdin);
  dup2(saved, 0);
  close(saved);
  return r;
}

// READ(fd) on BYTES through a pipe, written from a second thread in uneven pieces as a shell
// pipeline would.
template <typename Read>
Result through_pipe(const std::string& bytes, Read read) {
  int p[2];
  if (pipe(p) != 0) return {false, {}, "pipe failed"};
  std::thread writer([&] {
    for (size_t off = 0; off < bytes.size();) {
      const ssize_t w = write(p[1], bytes.data() + off, std::min<size_t>(999, bytes.size() - off));
      if (w <= 0) break;
      off += size_t(w);
    }
    close(p[1]);
  });
  Result r = read(p[0]);
  char rest[4096];
  while (::read(p[0], rest, sizeof rest) > 0) {
  }
  writer.join();
  close(p[0]);
  return r;
}
Result read_stdin(const std::string& bytes) { return through_pipe(bytes, read_stdin_from); }

// Every block an audio reader gets from FD, joined, with its messages.
Result read_blocks(int fd) {
  testing::internal::CaptureStderr();
  orv_audio_reader_t* in = orv_audio_reader_open(fd);
  Result r{in != nullptr, {}, ""};
  const float* x = nullptr;
  for (int n; in && (n = orv_audio_reader_read(in, &x)) > 0;) r.x.insert(r.x.end(), x, x + n);
  orv_audio_reader_free(in);
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

TEST(AudioReader, StreamsWhatTheWholeImageReaderReads) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> noise(-20000, 20000);
  std::vector<int16_t> s(40000);
  for (int16_t& v : s) v = int16_t(noise(rng));
  auto streamed = [](std::string image, uint32_t size, const std::string& before = "") {
    image.replace(4, 4, le32(size));
    const size_t data = image.find("data");
    image.replace(data + 4, 4, le32(size));
    return image.insert(data, before);
  };
  const std::string images[] = {
      wav(1, 16000, s) + chunk("LIST", "after the samples"),
      streamed(wav(1, 16000, s), 0x80000000u),                              // arecord to a pipe
      streamed(wav(2, 48000, s), 0xffffffffu, chunk("LIST", "Lavf59")),    // ffmpeg to a pipe
      streamed(wav(1, 44100, s), 0u),
      riff(extensible(1, 4, 22050, 16) + chunk("fact", "odd") + chunk("data", pcm(s))),
  };
  for (const std::string& image : images) {
    const Result whole = parse(image), r = through_pipe(image, read_blocks);
    ASSERT_GT(whole.x.size(), 0u) << whole.err;
    EXPECT_EQ(r.x, whole.x) << r.err;
  }
  std::vector<float> raw(s.size());
  for (size_t i = 0; i < s.size(); i++) raw[i] = s[i] / 32768.0f;
  EXPECT_EQ(through_pipe(pcm(s) + "\x01", read_blocks).x, raw);

  const std::pair<std::string, std::string> refused[] = {
      {"ab", "not enough data"},
      {"RIFF....WAVX", "not a WAV stream"},
      {riff(fmt(1, 1, 16000, 24) + chunk("data", pcm(s))), "24-bit samples: only 16-bit PCM WAV is read directly"},
      {riff(fmt(1, 1, 16000, 16) + chunk("LIST", "no samples")), "no \"data\" chunk"},
  };
  for (const auto& [bytes, why] : refused) {
    const Result r = through_pipe(bytes, read_blocks);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.err, "orv_audio_reader_open: " + why + "\n");
  }
}

TEST(ReadStdin, RawAndWavThroughAPipe) {
  Result r = read_stdin(pcm({1000, -1000}) + "\x7f");
  EXPECT_EQ(r.x, (std::vector<float>{1000 / 32768.0f, -1000 / 32768.0f}));
  EXPECT_EQ(r.err, "Read 5 bytes from stdin\nTreating stdin as raw s16le 16kHz mono\n");
  // Three megabytes: more than a pipe holds and more than the first buffer.
  std::vector<int16_t> s(1'500'000);
  for (size_t i = 0; i < s.size(); i++) s[i] = int16_t(i * 7919);
  r = read_stdin(pcm(s));
  ASSERT_EQ(r.x.size(), s.size());
  for (size_t i = 0; i < s.size(); i++) ASSERT_EQ(r.x[i], s[i] / 32768.0f) << i;

  const std::string image = wav(2, 48000, std::vector<int16_t>(s.begin(), s.begin() + 96000));
  r = read_stdin(image);
  EXPECT_EQ(r.err, "Read " + std::to_string(image.size()) + " bytes from stdin\nDetected WAV format on stdin\n");
  EXPECT_EQ(r.x, parse(image).x);
  EXPECT_EQ(r.x.size(), 16000u);
}

TEST(ReadStdin, TooLittleInputOrAReadErrorFails) {
  EXPECT_EQ(read_stdin("abc").err, "orv_read_pcm_stdin: no data on stdin\n");
  EXPECT_EQ(read_stdin("RIFF....WAVE").err,
            "Read 12 bytes from stdin\nDetected WAV format on stdin\nparse_wav_buffer: not a valid WAV file\n");
  // read() on a directory fails with EISDIR: a failure, not an empty recording.
  const int dir = open(".", O_RDONLY | O_DIRECTORY);
  const Result r = read_stdin_from(dir);
  close(dir);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err.rfind("orv_read_pcm_stdin: read error: ", 0), 0u) << r.err;
}

}  // namespace
