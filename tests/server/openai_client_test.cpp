// The official OpenAI JavaScript client (npm "openai" 6, installed into the build tree) against
// the server: every answer equals what `orvane --format` prints for the same file, and an error
// reaches the client as its own error type.
#include <gtest/gtest.h>

#include "server_harness.h"
#include "speech.h"

using nlohmann::json;

TEST(OpenAiClient, answers_equal_the_command_line_and_errors_parse) {
  const std::string client_dir = ORVANE_TEST_BIN_DIR "/tests/server/openai-client";
  if (run("test -d '" + client_dir + "/node_modules/openai'").status != 0)
    GTEST_SKIP() << "the openai package is not installed (the npm fixture did not run)";
  ServerProcess s;
  TempDir dir;
  const std::string wav = speech_wav("Clients in other languages hear the same words.");
  const std::string not_audio = dir.write("notes.txt", "plain text\n");
  // The script lies beside its node_modules, where its import of "openai" is resolved.
  const Command c = run("node '" + client_dir + "/openai_client.mjs' " + s.url("/v1") + " '" + wav +
                        "' '" + not_audio + "'");
  ASSERT_EQ(c.status, 0) << c.out;
  const json got = json::parse(c.out);
  const std::string text = cli_output(wav, "txt");
  EXPECT_EQ(got["json"]["text"].get<std::string>() + "\n", text);
  EXPECT_EQ(got["srt"], cli_output(wav, "srt"));
  EXPECT_EQ(got["stream_deltas"].get<std::string>() + "\n", text);
  EXPECT_EQ(got["stream_done"].get<std::string>() + "\n", text);
  const json cli = json::parse(cli_output(wav, "json"));
  EXPECT_EQ(got["verbose"]["text"], cli["text"]);
  ASSERT_EQ(got["verbose"]["segments"].size(), cli["segments"].size());
  for (size_t i = 0; i < cli["segments"].size(); i++)
    for (const char* key : {"start", "end", "text"}) EXPECT_EQ(got["verbose"]["segments"][i][key], cli["segments"][i][key]);
  EXPECT_FALSE(got["verbose"]["words"].empty());
  EXPECT_TRUE(got["error"]["apiError"].get<bool>());
  EXPECT_EQ(got["error"]["status"], 415);
  EXPECT_EQ(got["error"]["code"], "unsupported_audio");
  EXPECT_EQ(s.stop(), 0);
}
