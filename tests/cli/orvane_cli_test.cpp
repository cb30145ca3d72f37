// The orvane command run as a subprocess: the transcript on standard output for a file, for WAV
// and raw standard input, with and without --stream; exit status 1 on errors, 2 on usage errors.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio_driven_model.h"
#include "orvane.h"
#include "pcm_audio.h"
#include "speech.h"
#include "temp_dir.h"

extern char** environ;

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

std::string read_all(int fd) {
  std::string s;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
  close(fd);
  return s;
}

// Runs build/cli/orvane with ARGS, INPUT on its standard input.
Result run_cli(std::vector<std::string> args, const std::string& input = "") {
  args.insert(args.begin(), ORVANE_TEST_BIN_DIR "/cli/orvane");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int in[2], out[2], err[2];
  EXPECT_EQ(pipe(in) | pipe(out) | pipe(err), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
    posix_spawn_file_actions_addclose(&actions, fd);
  pid_t pid = -1;
  Result r;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  EXPECT_EQ(spawned, 0) << argv[0];
  std::thread writer([&] {
    for (size_t at = 0; at < input.size();) {
      const ssize_t n = write(in[1], input.data() + at, std::min<size_t>(4000, input.size() - at));
      if (n <= 0) break;  // the program stopped reading
      at += static_cast<size_t>(n);
    }
    close(in[1]);
  });
  std::thread errors([&] { r.err = read_all(err[0]); });
  r.out = read_all(out[0]);
  writer.join();
  errors.join();
  int status = 0;
  if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    r.status = WEXITSTATUS(status);
  return r;
}

TEST(Cli, prints_the_transcript_of_every_input) {
  signal(SIGPIPE, SIG_IGN);
  const std::vector<int16_t> pcm = to_pcm16(speech_samples("Type what I say, please."));
  const std::string wav = wav_image(pcm), raw = pcm16_bytes(pcm);
  TempDir dir;
  const std::string path = dir.write("speech.wav", wav);
  std::unique_ptr<orv_ctx_t, decltype(&orv_free)> ctx(orv_load(audio_driven_model_dir().c_str()),
                                                      &orv_free);
  std::unique_ptr<char, decltype(&std::free)> text(orv_transcribe(ctx.get(), path.c_str()),
                                                   &std::free);
  ASSERT_NE(text, nullptr);
  const std::string expected = std::string(text.get()) + "\n";

  const std::string& model = audio_driven_model_dir();
  for (const std::string mode : {"--cpu", "--stream"}) {
    for (const auto& [file, input] :
         {std::pair<std::string, std::string>{path, ""}, {"-", wav}, {"-", raw}}) {
      const Result r = run_cli({"-d", model, mode, file}, input);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, expected) << mode << " " << file << " " << input.substr(0, 4);
      EXPECT_EQ(r.err, "") << "nothing on standard error without -v";
    }
  }
  const Result quiet = run_cli({"-d", model, "--cpu"}, raw);  // no file: standard input
  EXPECT_EQ(quiet.out, expected);
  const Result verbose = run_cli({"-d", model, "-v", path});
  EXPECT_EQ(verbose.out, expected);
  EXPECT_NE(verbose.err.find("Encoder: "), std::string::npos) << verbose.err;
}

TEST(Cli, exit_status_tells_errors_from_usage_errors) {
  const std::string& model = audio_driven_model_dir();
  const Result help = run_cli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: orvane -d MODEL_DIR", 0), 0u) << help.out;

  const std::vector<std::vector<std::string>> usage = {{"speech.wav"},
                                                       {"-d"},
                                                       {"-d", model, "--bogus"},
                                                       {"-d", model, "--delay", "soon"},
                                                       {"-d", model, "a.wav", "b.wav"}};
  for (const auto& args : usage) {
    const Result r = run_cli(args);
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_EQ(r.err.rfind("orvane: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }

  const Result no_model = run_cli({"-d", "/nonexistent/model", "--cpu", "x.wav"});
  EXPECT_EQ(no_model.status, 1);
  EXPECT_NE(no_model.err.find("orvane: cannot load the model in /nonexistent/model"),
            std::string::npos)
      << no_model.err;
  for (const std::string mode : {"--cpu", "--stream"}) {
    const Result no_file = run_cli({"-d", model, mode, "/nonexistent/speech.wav"});
    EXPECT_EQ(no_file.status, 1) << mode;
    EXPECT_NE(no_file.err.find("/nonexistent/speech.wav"), std::string::npos) << no_file.err;
    EXPECT_EQ(run_cli({"-d", model, mode}, "ab").status, 1) << "two bytes on standard input";
  }
}

}  // namespace
