// Whole-recording transcription: a WAV image and its raw samples on standard input, a WAV file
// and a sample array all give the same trimmed text; malformed input is refused with its message.
#include "stream/transcribe.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "context_ptr.h"
#include "pcm_audio.h"
#include "speech.h"
#include "temp_dir.h"
#include "tiny_model.h"

namespace {

orv_ctx_t* tiny_ctx() {
  static CtxPtr ctx = load_context(tiny_model_dir());
  return ctx.get();
}

std::string take(char* text) {
  std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return text ? std::string(text) : std::string("(null)");
}

// orv_transcribe_stdin with BYTES on file descriptor 0, from a file or through a pipe written
// in uneven pieces while the engine reads.
std::string transcribe_stdin(const std::string& bytes, bool pipe_it) {
  const int saved = dup(0);
  std::thread writer;
  if (pipe_it) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    dup2(fds[0], 0);
    close(fds[0]);
    writer = std::thread([&bytes, fd = fds[1]] {
      for (size_t at = 0; at < bytes.size(); at += 777)
        if (write(fd, bytes.data() + at, std::min<size_t>(777, bytes.size() - at)) < 0) break;
      close(fd);
    });
  } else {
    TempDir dir;
    FILE* f = std::fopen(dir.write("in.bin", bytes).c_str(), "rb");
    dup2(fileno(f), 0);
    std::fclose(f);
  }
  std::string text = take(orv_transcribe_stdin(tiny_ctx()));
  if (writer.joinable()) writer.join();
  dup2(saved, 0);
  close(saved);
  return text;
}

TEST(Trim, removes_outer_white_space_only) {
  const std::pair<std::string, std::string> cases[] = {
      {" \t\n\v\f\rhello world\r\n ", "hello world"}, {"a", "a"}, {" \n\t ", ""}, {"", ""}};
  for (auto [in, out] : cases) {
    std::vector<char> text(in.begin(), in.end());
    text.push_back('\0');
    orv_trim(text.data());
    EXPECT_EQ(std::string(text.data()), out);
  }
}

TEST(Transcribe, every_input_path_gives_the_same_trimmed_text) {
  const std::vector<int16_t> pcm =
      to_pcm16(speech_samples("Every road leads to the same few words, trimmed."));
  const std::vector<float> samples = from_pcm16(pcm);
  const std::string expected =
      take(orv_transcribe_samples(tiny_ctx(), samples.data(), static_cast<int>(samples.size())));
  ASSERT_NE(expected, "(null)");
  ASSERT_FALSE(expected.empty()) << "the tiny model says something for speech";
  EXPECT_FALSE(std::isspace(static_cast<unsigned char>(expected.front())));
  EXPECT_FALSE(std::isspace(static_cast<unsigned char>(expected.back())));

  const std::string wav = wav_image(pcm);
  std::string streamed = wav;  // as a recorder writing to a pipe leaves the sizes
  streamed.replace(4, 4, "\xff\xff\xff\xff");
  streamed.replace(40, 4, std::string("\0\0\0\x80", 4));
  EXPECT_EQ(transcribe_stdin(wav, false), expected) << "WAV from a file";
  EXPECT_EQ(transcribe_stdin(streamed, true), expected) << "WAV of unknown length through a pipe";
  EXPECT_EQ(transcribe_stdin(pcm16_bytes(pcm) + "\x7f", true), expected)
      << "raw samples streamed through a pipe, odd last byte ignored";
  TempDir dir;
  EXPECT_EQ(take(orv_transcribe(tiny_ctx(), dir.write("speech.wav", wav).c_str())), expected);

  // Two samples of raw input still make a finished stream and a (possibly empty) text.
  EXPECT_NE(transcribe_stdin(std::string("\1\0\2\0", 4), false), "(null)");
  EXPECT_NE(take(orv_transcribe_samples(tiny_ctx(), nullptr, 0)), "(null)");
}

TEST(Transcribe, refuses_bad_input_with_its_message) {
  std::string eight_bit = wav_image(std::vector<int16_t>(8));
  eight_bit[34] = 8;
  const std::pair<std::string, std::string> cases[] = {
      {"", "orv_transcribe_stdin: not enough data on stdin\n"},
      {"abc", "orv_transcribe_stdin: not enough data on stdin\n"},
      {"RIFF" + std::string(36, 'x'), "Invalid WAV data on stdin\n"},
      {std::string("RIFF\0\0\0\0WAVX", 12) + std::string(40, '\0'), "Invalid WAV data on stdin\n"},
      {eight_bit, "Unsupported WAV format on stdin: 8-bit samples: only 16-bit PCM WAV is read directly\n"},
  };
  for (const auto& [bytes, message] : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(transcribe_stdin(bytes, false), "(null)");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
  }
  // A read error (here: standard input is a directory) fails instead of passing for an end.
  const int saved = dup(0);
  const int dir_fd = open(ORVANE_TEST_SOURCE_DIR, O_RDONLY);
  dup2(dir_fd, 0);
  close(dir_fd);
  testing::internal::CaptureStderr();
  EXPECT_EQ(take(orv_transcribe_stdin(tiny_ctx())), "(null)");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "orv_transcribe_stdin: read error: Is a directory\n");
  dup2(saved, 0);
  close(saved);

  testing::internal::CaptureStderr();
  EXPECT_EQ(take(orv_transcribe(tiny_ctx(), "/nonexistent/speech.wav")), "(null)");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("orv_transcribe: cannot load /nonexistent/speech.wav\n"), std::string::npos)
      << err;
}

}  // namespace
