// The orvane command run as a subprocess: the transcript on standard output for files written by
// real tools in many formats and for streamed standard input, with and without --stream, plain and
// with times; exit status 1 on errors, 2 on usage errors.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "context_ptr.h"
#include "orvane.h"
#include "pcm_audio.h"
#include "speech.h"
#include "temp_dir.h"
#include "tiny_model.h"

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs build/cli/orvane with ARGS and INPUT on its standard input, ENV (assignments) set.
Result run_cli(const std::vector<std::string>& args, const std::string& input = "",
               const std::string& env = "") {
  TempDir dir;
  std::string command = env + " " ORVANE_TEST_BIN_DIR "/cli/orvane";
  for (const std::string& a : args) command += " '" + a + "'";  // no quotes in the test's args
  command += " <" + dir.write("in", input) + " >" + dir.file("out") + " 2>" + dir.file("err");
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(dir.file("out")), read_file(dir.file("err"))};
}

bool have(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null").c_str()) == 0; }

// Runs a shell COMMAND that writes a file; fails the test when it does not succeed.
void make(const std::string& command) {
  ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
}

// A canonical 16 kHz 16-bit mono WAV of speech, written by sox, and its transcript.
struct Speech {
  Speech() {
    make("sox '" + speech_wav("Every road leads to the same few words, trimmed.") + "' -r 16000 -b 16 '" + wav + "'");
    CtxPtr ctx = load_context(tiny_model_dir());
    std::unique_ptr<char, decltype(&std::free)> t(orv_transcribe(ctx.get(), wav.c_str()), &std::free);
    text = t ? t.get() : "";
  }
  TempDir dir;
  std::string wav = dir.file("speech.wav"), text;
};

const Speech& speech() {
  static const Speech sp;
  return sp;
}

TEST(Cli, prints_the_same_transcript_for_every_input_of_the_same_samples) {
  if (!have("sox") || !have("ffmpeg")) GTEST_SKIP() << "needs sox and ffmpeg";  // installed by install-deps.sh
  const Speech& sp = speech();
  ASSERT_FALSE(sp.text.empty()) << "the tiny model says something for speech";
  const std::string expected = sp.text + "\n", &model = tiny_model_dir(), in = "'" + sp.wav + "' ";
  TempDir dir;
  auto out = [&](const std::string& name) { return "'" + dir.file(name) + "'"; };
  // Lossless forms of the same samples, written by the real tools: streamed WAV headers of unknown
  // length, the extensible format, 24-bit, float, FLAC and AIFF (the last four through libsndfile).
  make("ffmpeg -loglevel error -i " + in + "-f wav - > " + out("ffmpeg.wav"));
  make("sox " + in + "-t wav - > " + out("sox.wav"));
  make("sox " + in + "-c 4 " + out("four.wav"));
  make("sox " + in + "-b 24 " + out("b24.wav"));
  make("sox " + in + "-e floating-point -b 32 " + out("float.wav"));
  make("sox " + in + out("speech.flac"));
  make("sox " + in + out("speech.aiff"));
  ASSERT_EQ(read_file(dir.file("ffmpeg.wav")).substr(4, 4), "\xff\xff\xff\xff");
  ASSERT_EQ(read_file(dir.file("four.wav")).substr(20, 2), "\xfe\xff") << "sox writes the extensible format";
  make("ffmpeg -loglevel error -i " + in + "-f s16le - > " + out("speech.raw"));
  std::string arecord = read_file(sp.wav);  // what arecord writes to a pipe: 0x80000000 sizes
  const size_t data = arecord.find("data");
  ASSERT_NE(data, std::string::npos);
  arecord.replace(4, 4, std::string("\0\0\0\x80", 4)).replace(data + 4, 4, std::string("\0\0\0\x80", 4));
  for (const std::string mode : {"--cpu", "--stream"}) {
    for (const std::string name : {"ffmpeg.wav", "sox.wav", "four.wav", "b24.wav", "float.wav", "speech.flac", "speech.aiff"}) {
      const Result r = run_cli({"-d", model, mode, dir.file(name)});
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, expected) << mode << " " << name;
      EXPECT_EQ(r.err, "") << "nothing on standard error without -v";
    }
    for (const std::string& input : {read_file(dir.file("ffmpeg.wav")), read_file(dir.file("sox.wav")), arecord,
                                     read_file(dir.file("speech.raw"))})
      EXPECT_EQ(run_cli({"-d", model, mode, "-"}, input).out, expected) << mode << " standard input";
  }
  EXPECT_EQ(run_cli({"-d", model}, arecord).out, expected) << "no file: standard input";
  // Lossy forms decode and transcribe.
  make("ffmpeg -loglevel error -i " + in + out("speech.mp3"));
  make("ffmpeg -loglevel error -i " + in + "-c:a libopus " + out("speech.opus"));
  for (const std::string name : {"speech.mp3", "speech.opus"}) {
    const Result r = run_cli({"-d", model, dir.file(name)});
    EXPECT_EQ(r.status, 0) << name << r.err;
  }
  const Result verbose = run_cli({"-d", model, "-v", sp.wav});
  EXPECT_EQ(verbose.out, expected);
  EXPECT_NE(verbose.err.find("Encoder: "), std::string::npos) << verbose.err;
  for (const std::string threads : {"1", "3"})  // the words do not depend on the thread count
    EXPECT_EQ(run_cli({"-d", model, "--threads", threads, sp.wav}).out, expected) << threads;
}

// A file with silence on its first channel and speech on its second is mixed, not read from one
// channel: it gives the transcript of the averaged mono file.
TEST(Cli, channels_are_averaged_to_mono) {
  if (!have("sox")) GTEST_SKIP() << "needs sox";
  const std::string in = "'" + speech().wav + "' ", &model = tiny_model_dir();
  TempDir dir;
  auto out = [&](const std::string& name) { return "'" + dir.file(name) + "' "; };
  make("sox -D " + in + "-e floating-point -b 32 " + out("half.wav") + "vol 0.5");
  make("sox -D " + in + out("second.flac") + "remix 0 1");
  make("sox -D " + in + "-e floating-point -b 32 " + out("second.wav") + "remix 0 1");
  const Result want = run_cli({"-d", model, "--cpu", dir.file("half.wav")});
  ASSERT_EQ(want.status, 0) << want.err;
  make("sox -D " + in + "-e floating-point -b 32 " + out("silent.wav") + "vol 0");
  ASSERT_NE(run_cli({"-d", model, "--cpu", dir.file("silent.wav")}).out, want.out) << "channel 0 alone";
  for (const std::string name : {"second.flac", "second.wav"})
    EXPECT_EQ(run_cli({"-d", model, "--cpu", dir.file(name)}).out, want.out) << name;
}

// On the GPU (Mesa's CPU implementation of Vulkan where there is no GPU) the matrix products
// run with half-precision weights; the tiny model still gives the CPU's tokens.
TEST(Cli, gpu_gives_the_cpu_transcript_and_a_missing_driver_one_line) {
  if (!ORVANE_TEST_VULKAN) GTEST_SKIP() << "built without the Vulkan backend";
  TempDir dir;
  const std::string path = dir.write("speech.wav", wav_image(to_pcm16(speech_samples("Vulkan or not, the same words."))));
  const std::string& model = tiny_model_dir();
  const Result cpu = run_cli({"-d", model, "--cpu", path});
  ASSERT_EQ(cpu.status, 0) << cpu.err;
  const std::string gpu_env =
      "XDG_CACHE_HOME='" + dir.path().string() + "' ORVANE_GPU_ALLOW_CPU=1 ORVANE_GPU_VALIDATION=1";
  const Result gpu = run_cli({"-d", model, "-vv", path}, "", gpu_env);
  EXPECT_EQ(gpu.out, cpu.out);
  EXPECT_EQ(gpu.err.find("Vulkan validation error"), std::string::npos) << gpu.err;
  for (const char* line : {"Vulkan: GPU acceleration enabled (", "Vulkan: compute shaders compiled "
                           "(rms_norm silu gelu add mul causal_softmax )\n", "Pre-warming Vulkan weight cache...\n",
                           "Vulkan GPU: "})
    EXPECT_NE(gpu.err.find(line), std::string::npos) << line << " in\n" << gpu.err;

  const Result none = run_cli({"-d", model, "-v", path}, "", "VK_ICD_FILENAMES=/nonexistent ORVANE_GPU_ALLOW_CPU=1");
  EXPECT_EQ(none.out, cpu.out);
  EXPECT_EQ(none.err.rfind("Vulkan: GPU acceleration not available: no Vulkan driver; running on the CPU\n", 0), 0u)
      << none.err;
  EXPECT_EQ(none.err.find("Vulkan", none.err.find('\n')), std::string::npos) << "one line only:\n" << none.err;
}

// Times in "HH:MM:SS,mmm" (SubRip) or "HH:MM:SS.mmm" (WebVTT) cue lines, in milliseconds.
std::vector<long> cue_times(const std::string& cues) {
  std::vector<long> ms;
  const std::regex time(R"((\d\d):(\d\d):(\d\d)[,.](\d\d\d))");
  for (auto it = std::sregex_iterator(cues.begin(), cues.end(), time); it != std::sregex_iterator(); ++it)
    ms.push_back(((std::stol((*it)[1]) * 60 + std::stol((*it)[2])) * 60 + std::stol((*it)[3])) * 1000 + std::stol((*it)[4]));
  return ms;
}

TEST(Cli, timed_formats_agree_with_the_plain_text) {
  if (!have("sox") || !have("python3")) GTEST_SKIP() << "needs sox and python3";
  const Speech& sp = speech();
  const std::string& model = tiny_model_dir();
  const Result json = run_cli({"-d", model, "--format", "json", sp.wav});
  ASSERT_EQ(json.status, 0) << json.err;
  // Python's parser checks the JSON and prints the joined token texts, then every time in order.
  TempDir dir;
  const std::string script =
      "import json,sys\n"
      "d = json.load(open(sys.argv[1], encoding='utf-8'))\n"
      "print(''.join(t['text'] for s in d['segments'] for t in s['tokens']))\n"
      "print(d['text'])\n"
      "print(' '.join(str(round(1000 * x)) for s in d['segments'] for x in [s['start'], s['end']]), round(1000 * d['duration']))\n";
  const std::string command = "python3 '" + dir.write("check.py", script) + "' '" + dir.write("out.json", json.out) + "' > '" + dir.file("py") + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << json.out;
  std::istringstream py(read_file(dir.file("py")));
  std::string joined, text, times;
  std::getline(py, joined);
  std::getline(py, text);
  std::getline(py, times);
  EXPECT_EQ(joined + "\n", sp.text + "\n");
  EXPECT_EQ(text, sp.text);
  std::vector<long> seg;
  std::istringstream t(times);
  for (long v; t >> v;) seg.push_back(v);
  ASSERT_GE(seg.size(), 3u);
  const long duration = seg.back();
  seg.pop_back();
  EXPECT_TRUE(std::is_sorted(seg.begin(), seg.end())) << times;
  EXPECT_LE(seg.back(), duration);

  for (const std::string format : {"srt", "vtt"}) {
    const Result r = run_cli({"-d", model, "--format", format, sp.wav});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<long> ms = cue_times(r.out);
    ASSERT_GE(ms.size(), 2u) << r.out;
    EXPECT_TRUE(std::is_sorted(ms.begin(), ms.end())) << r.out;
    EXPECT_LE(ms.back(), duration) << r.out;
    EXPECT_EQ(r.out.rfind("WEBVTT\n\n", 0) == 0, format == "vtt");
  }
}

// A recorder on a pipe: a WAV header of unknown length, then the samples in real time. The first
// words must come out while it is still recording.
TEST(Cli, streams_words_while_the_recording_still_arrives) {
  const std::string& model = tiny_model_dir();
  std::vector<int16_t> pcm = to_pcm16(speech_samples("Every road leads to the same few words, trimmed."));
  const std::vector<int16_t> speech_pcm = pcm;
  while (pcm.size() < 16000 * 30) pcm.insert(pcm.end(), speech_pcm.begin(), speech_pcm.end());
  std::string bytes = wav_image(pcm);
  bytes.replace(4, 4, std::string("\0\0\0\x80", 4)).replace(40, 4, std::string("\0\0\0\x80", 4));

  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::string prog = ORVANE_TEST_BIN_DIR "/cli/orvane", d = "-d", m = model, stream = "--stream";
  char* argv[] = {prog.data(), d.data(), m.data(), stream.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, prog.c_str(), &actions, nullptr, argv, nullptr), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  signal(SIGPIPE, SIG_IGN);

  // A quarter of a second at a time, paced like a live recording, until the first output.
  const size_t step = 16000 / 4 * 2;
  size_t sent = 0;
  bool early = false;
  for (size_t at = 0; at < bytes.size() && !early; at += step) {
    const size_t n = std::min(step, bytes.size() - at);
    ASSERT_EQ(write(in[1], bytes.data() + at, n), ssize_t(n));
    sent = at + n;
    pollfd ready = {out[0], POLLIN, 0};
    early = poll(&ready, 1, 250) == 1;
  }
  EXPECT_TRUE(early) << "no words before the end of the recording";
  EXPECT_LT(sent, bytes.size() / 2) << "the first words waited for half the recording";
  close(in[1]);
  char buf[4096];
  while (read(out[0], buf, sizeof buf) > 0) {
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The README's live command, with ALSA's null device standing in for the microphone.
TEST(Cli, readme_arecord_command_runs) {
  if (!have("arecord")) GTEST_SKIP() << "needs arecord (alsa-utils)";
  TempDir dir;
  const std::string command = "arecord -q -D null -d 2 -f S16_LE -r 16000 -c 1 | " ORVANE_TEST_BIN_DIR "/cli/orvane -d '" +
                              tiny_model_dir() + "' --stream > /dev/null 2> '" + dir.file("err") + "'";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(read_file(dir.file("err")), "");
}

TEST(Cli, exit_status_tells_errors_from_usage_errors) {
  const std::string& model = tiny_model_dir();
  const Result help = run_cli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: orvane -d MODEL_DIR", 0), 0u) << help.out;

  const std::vector<std::vector<std::string>> usage = {{"speech.wav"},
                                                       {"-d"},
                                                       {"-d", model, "--bogus"},
                                                       {"-d", model, "--delay", "soon"},
                                                       {"-d", model, "--format", "docx"},
                                                       {"-d", model, "--stream", "--format", "json"},
                                                       {"-d", model, "a.wav", "b.wav"}};
  for (const auto& args : usage) {
    const Result r = run_cli(args);
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_EQ(r.err.rfind("orvane: ", 0), 0u) << r.err;
  }

  const Result no_model = run_cli({"-d", "/nonexistent/model", "x.wav"});
  EXPECT_EQ(no_model.status, 1);
  EXPECT_NE(no_model.err.find("orvane: cannot load the model in /nonexistent/model\n"),
            std::string::npos)
      << no_model.err;
  for (const std::string mode : {"--cpu", "--stream"}) {
    const Result no_file = run_cli({"-d", model, mode, "/nonexistent/speech.wav"});
    EXPECT_EQ(no_file.status, 1) << mode;
    EXPECT_NE(no_file.err.find("/nonexistent/speech.wav"), std::string::npos) << no_file.err;
    EXPECT_EQ(run_cli({"-d", model, mode}, "ab").status, 1) << "two bytes on standard input";
  }
  TempDir dir;
  const std::string notes = dir.write("notes.txt", "not a recording\n");
  const Result text = run_cli({"-d", model, notes});
  EXPECT_EQ(text.status, 1);
  EXPECT_EQ(text.err, "orvane: " + notes + ": not a recording orvane can read (Format not recognised.)\n");
}

}  // namespace
