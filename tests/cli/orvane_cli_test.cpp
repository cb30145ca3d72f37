// The orvane command run as a subprocess: the transcript on standard output for a file, for WAV
// and raw standard input, with and without --stream; exit status 1 on errors, 2 on usage errors.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
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
  auto slurp = [&](const char* name) {
    std::ostringstream s;
    s << std::ifstream(dir.file(name)).rdbuf();
    return s.str();
  };
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp("out"), slurp("err")};
}

TEST(Cli, prints_the_transcript_of_every_input) {
  const std::vector<int16_t> pcm =
      to_pcm16(speech_samples("Every road leads to the same few words, trimmed."));
  const std::string wav = wav_image(pcm), raw = pcm16_bytes(pcm);
  TempDir dir;
  const std::string path = dir.write("speech.wav", wav), &model = tiny_model_dir();
  CtxPtr ctx = load_context(model);
  std::unique_ptr<char, decltype(&std::free)> text(orv_transcribe(ctx.get(), path.c_str()),
                                                   &std::free);
  ASSERT_NE(text, nullptr);
  ASSERT_NE(text.get()[0], '\0');
  const std::string expected = std::string(text.get()) + "\n";

  for (const std::string mode : {"--cpu", "--stream"}) {
    for (const auto& [file, input] :
         {std::pair<std::string, std::string>{path, ""}, {"-", wav}, {"-", raw}}) {
      const Result r = run_cli({"-d", model, mode, file}, input);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, expected) << mode << " " << file << " " << input.substr(0, 4);
      EXPECT_EQ(r.err, "") << "nothing on standard error without -v";
    }
  }
  EXPECT_EQ(run_cli({"-d", model}, raw).out, expected) << "no file: standard input";
  const Result verbose = run_cli({"-d", model, "-v", path});
  EXPECT_EQ(verbose.out, expected);
  EXPECT_NE(verbose.err.find("Encoder: "), std::string::npos) << verbose.err;
}

// On the GPU (Mesa's CPU implementation of Vulkan where there is no GPU) the matrix products
// run with half-precision weights; the tiny model still gives the CPU's tokens.
TEST(Cli, gpu_gives_the_cpu_transcript_and_a_missing_driver_one_line) {
  TempDir dir;
  const std::string path = dir.write("speech.wav", wav_image(to_pcm16(speech_samples("Vulkan or not, the same words."))));
  const std::string& model = tiny_model_dir();
  const Result cpu = run_cli({"-d", model, "--cpu", path});
  ASSERT_EQ(cpu.status, 0) << cpu.err;
  const std::string gpu_env = "XDG_CACHE_HOME='" + dir.path().string() + "' ORVANE_GPU_ALLOW_CPU=1";
  const Result gpu = run_cli({"-d", model, "-vv", path}, "", gpu_env);
  EXPECT_EQ(gpu.out, cpu.out);
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

TEST(Cli, exit_status_tells_errors_from_usage_errors) {
  const std::string& model = tiny_model_dir();
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
}

}  // namespace
