// orvane-server as a daemon on the tiny model, with real clients on loopback: curl for HTTP, a
// Wyoming client written from the protocol, and raw sockets for requests no client would send.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <regex>
#include <thread>

#include "server_harness.h"
#include "speech.h"

using nlohmann::json;

namespace {

const std::string& speech_file() {
  static const std::string path = speech_wav("Send the words over the wire, and back again.");
  return path;
}

// POSTs FILE with the form FIELDS (name=value) through curl; the body, and the status in *STATUS.
std::string post(const ServerProcess& s, const std::string& file, const std::string& fields = "",
                 const std::string& curl_options = "", int* status = nullptr) {
  const Command c = run("curl -sS -N " + curl_options + " -w '\\n%{http_code}' -F 'file=@" + file + "' " + fields +
                        " " + s.url("/v1/audio/transcriptions"));
  const size_t cut = c.out.rfind('\n');
  if (status) *status = std::atoi(c.out.c_str() + cut + 1);
  return c.out.substr(0, cut);
}

std::string trim_newline(std::string s) {
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

TEST(Server, http_answers_in_every_format_as_the_command_line_prints) {
  ServerProcess s;
  const std::string wav = speech_file(), text = trim_newline(cli_output(wav, "txt"));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(json::parse(post(s, wav, "-F model=whisper-1"))["text"], text);
  EXPECT_EQ(post(s, wav, "-F response_format=text -F language=en -F prompt=hello"), text + "\n");
  EXPECT_EQ(post(s, wav, "-F response_format=srt"), cli_output(wav, "srt"));
  // A body of unknown length, sent chunked.
  EXPECT_EQ(post(s, wav, "-F response_format=vtt", "-H 'Transfer-Encoding: chunked'"), cli_output(wav, "vtt"));
  EXPECT_EQ(post(s, wav, "-F response_format=text", "-H 'Transfer-Encoding: chunked'"), text + "\n");

  const json verbose = json::parse(post(s, wav, "-F response_format=verbose_json -F 'timestamp_granularities[]=word'"));
  const json cli = json::parse(cli_output(wav, "json"));
  EXPECT_EQ(verbose["text"], text);
  EXPECT_EQ(verbose["duration"], cli["duration"]);
  ASSERT_EQ(verbose["segments"].size(), cli["segments"].size());
  for (size_t i = 0; i < cli["segments"].size(); i++)
    for (const char* key : {"start", "end", "text"}) EXPECT_EQ(verbose["segments"][i][key], cli["segments"][i][key]);
  std::string words;
  double last = 0;
  for (const json& w : verbose["words"]) {
    words += (words.empty() ? "" : " ") + w["word"].get<std::string>();
    EXPECT_LE(last, w["start"].get<double>());
    EXPECT_LE(w["start"].get<double>(), w["end"].get<double>());
    last = w["start"];
  }
  EXPECT_EQ(words, std::regex_replace(text, std::regex("\\s+"), " "));

  // Server-sent events: the deltas join into the text that the last event repeats.
  const std::string events = post(s, wav, "-F stream=true");
  std::string deltas, done;
  std::smatch m;
  for (auto at = events.cbegin(); std::regex_search(at, events.cend(), m, std::regex("data: (.*)\n\n")); at = m[0].second) {
    const json e = json::parse(m[1].str());
    if (e["type"] == "transcript.text.delta") deltas += e["delta"].get<std::string>();
    if (e["type"] == "transcript.text.done") done = e["text"];
  }
  EXPECT_EQ(deltas, text);
  EXPECT_EQ(done, text);

  EXPECT_EQ(json::parse(run("curl -sS " + s.url("/health")).out)["status"], "ok");
  EXPECT_EQ(json::parse(run("curl -sS " + s.url("/v1/models")).out)["data"][0]["object"], "model");
  EXPECT_EQ(s.stop(), 0);
}

TEST(Server, wyoming_transcribes_pcm_of_any_rate_width_and_channels) {
  ServerProcess s;
  {
    WyomingClient c(s.wyoming_port());
    c.send("describe");
    const WyomingEventIn info = c.read();
    ASSERT_EQ(info.type, "info");
    const json& asr = info.data["asr"][0];
    EXPECT_TRUE(asr["supports_transcript_streaming"].get<bool>());
    EXPECT_TRUE(asr["installed"].get<bool>());
    EXPECT_FALSE(asr["models"][0]["languages"].empty());
    c.send("ping", {{"text", "x"}}, "", true);
    EXPECT_EQ(c.read().type, "pong");
    c.send("audio-stop");
    const WyomingEventIn empty = c.read();
    EXPECT_EQ(empty.type, "transcript");
    EXPECT_EQ(empty.data["text"], "");
  }
  TempDir dir;
  struct Case {
    int rate, width, channels;
  };
  for (const Case k : {Case{16000, 2, 1}, Case{48000, 3, 2}, Case{8000, 1, 1}, Case{22050, 4, 1}}) {
    SCOPED_TRACE(std::to_string(k.rate) + " Hz, " + std::to_string(k.width) + " bytes, " + std::to_string(k.channels) + " ch");
    const std::string base = dir.file(std::to_string(k.rate) + "_" + std::to_string(k.width));
    const std::string encoding = k.width == 1 ? "unsigned-integer" : "signed-integer";
    ASSERT_EQ(run("sox -D '" + speech_file() + "' -r " + std::to_string(k.rate) + " -b " + std::to_string(8 * k.width) +
                  " -c " + std::to_string(k.channels) + " -e " + encoding + " '" + base + ".wav' 2>&1").status, 0);
    ASSERT_EQ(run("sox '" + base + ".wav' -t raw -e signed-integer '" + base + ".raw' 2>&1").status, 0);
    const std::string pcm = read_file(base + ".raw"), want = trim_newline(cli_output(base + ".wav", "txt"));
    EXPECT_EQ(wyoming_transcribe(s.wyoming_port(), pcm, k.rate, k.width, k.channels), want);
    std::string chunks;
    EXPECT_EQ(wyoming_transcribe(s.wyoming_port(), pcm, k.rate, k.width, k.channels, 1000, true, &chunks), want)
        << "the transcript does not depend on how the audio is cut";
    EXPECT_EQ(chunks, want) << "the streamed chunks join into the transcript";
  }
  EXPECT_EQ(s.stop(), 0);
}

TEST(Server, bad_requests_get_their_error_and_the_server_keeps_serving) {
  ServerProcess s({"--max-upload", "1"});
  TempDir dir;
  int status = 0;
  const std::string text_file = dir.write("notes.txt", "not audio at all\n");
  EXPECT_NE(post(s, text_file, "", "", &status).find("\"code\":\"unsupported_audio\""), std::string::npos);
  EXPECT_EQ(status, 415);
  const json bad_format = json::parse(post(s, speech_file(), "-F response_format=mp3", "", &status));
  EXPECT_EQ(status, 400);
  EXPECT_EQ(bad_format["error"]["param"], "response_format");
  ASSERT_EQ(run("head -c 1500000 /dev/urandom > '" + dir.file("big.wav") + "'").status, 0);
  post(s, dir.file("big.wav"), "", "", &status);
  EXPECT_EQ(status, 413);
  post(s, dir.file("big.wav"), "", "-H 'Transfer-Encoding: chunked'", &status);
  EXPECT_EQ(status, 413) << "a chunked body is held to the same limit";

  const std::string part = "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.wav\"\r\n\r\nRIFF....";
  auto request = [](const std::string& content_type, const std::string& body) {
    return "POST /v1/audio/transcriptions HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Type: " + content_type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  EXPECT_NE(raw_exchange(s.http_port(), request("multipart/form-data; boundary=XyZ", part)).find("HTTP/1.1 400"), std::string::npos)
      << "a body without its closing boundary";
  EXPECT_NE(raw_exchange(s.http_port(), request("multipart/form-data", part + "\r\n--XyZ--\r\n")).find("HTTP/1.1 400"),
            std::string::npos)
      << "a form without a boundary";

  auto wyoming_error = [&](const std::string& bytes, bool end_input) {
    WyomingClient c(s.wyoming_port());
    c.send_raw(bytes);
    if (end_input) shutdown(c.fd(), SHUT_WR);
    return c.read();
  };
  EXPECT_EQ(wyoming_error(std::string(1 << 20, 'x') + "\n", false).type, "error") << "a header line of 1 MB";
  EXPECT_EQ(wyoming_error("[1, 2]\n", false).type, "error") << "a header that is not an object";
  EXPECT_EQ(wyoming_error("{\"type\": \"audio-chunk\", \"data_length\": 2}\n[]", false).type, "error")
      << "a data block that is not an object";
  const WyomingEventIn cut = wyoming_error("{\"type\": \"audio-chunk\", \"payload_length\": 1000}\nabc", true);
  EXPECT_EQ(cut.type, "error") << "a payload shorter than its length";
  EXPECT_EQ(cut.data["code"], "truncated-event");
  {
    WyomingClient c(s.wyoming_port());
    c.send("audio-start", {{"rate", 16000}, {"width", 7}, {"channels", 1}});
    EXPECT_EQ(c.read().data["code"], "bad-audio-format");
  }

  EXPECT_EQ(json::parse(post(s, speech_file()))["text"], trim_newline(cli_output(speech_file(), "txt")));
  EXPECT_EQ(s.stop(), 0);
}

TEST(Server, eight_clients_at_once_each_get_their_own_transcript) {
  ServerProcess s({"--streams", "8"});  // all eight decode at the same time
  TempDir dir;
  const std::string other = speech_wav("A different sentence for the other half of the clients.");
  const std::string raw = dir.file("speech.raw");
  ASSERT_EQ(run("sox '" + speech_file() + "' -r 16000 -t raw -e signed-integer -b 16 -c 1 '" + raw + "'").status, 0);
  const std::string pcm = read_file(raw);
  const std::string want_http = trim_newline(cli_output(other, "txt"));
  const std::string want_wyoming = wyoming_transcribe(s.wyoming_port(), pcm, 16000, 2, 1);
  std::vector<std::future<std::string>> http, wyoming;
  for (int i = 0; i < 4; i++) {
    http.push_back(std::async(std::launch::async, [&] { return post(s, other, "-F response_format=text"); }));
    wyoming.push_back(std::async(std::launch::async, [&, i] {
      return wyoming_transcribe(s.wyoming_port(), pcm, 16000, 2, 1, 2048 + 512 * static_cast<size_t>(i), i % 2 == 1);
    }));
  }
  for (auto& f : http) EXPECT_EQ(f.get(), want_http + "\n");
  for (auto& f : wyoming) EXPECT_EQ(f.get(), want_wyoming);
  EXPECT_EQ(s.stop(), 0);
}

TEST(Server, full_queue_slow_and_departing_clients_free_their_place) {
  ServerProcess s({"--streams", "1", "--queue", "0", "--read-timeout", "1"});
  const std::string want = trim_newline(cli_output(speech_file(), "txt"));
  int status = 0;
  {
    WyomingClient holder(s.wyoming_port());  // takes the only stream and keeps it
    holder.send("audio-start", {{"rate", 16000}, {"width", 2}, {"channels", 1}});
    ASSERT_EQ(holder.read().type, "transcript-start");
    const Command busy = run("curl -sS -i -F 'file=@" + speech_file() + "' " + s.url("/v1/audio/transcriptions"));
    EXPECT_NE(busy.out.find("HTTP/1.1 429"), std::string::npos);
    EXPECT_NE(busy.out.find("Retry-After:"), std::string::npos);
  }  // the holder leaves without audio-stop

  // A client that uploads one byte every 300 ms is cut off, and holds no stream meanwhile.
  auto slow = std::async(std::launch::async, [&] {
    const std::string head =
        "POST /v1/audio/transcriptions HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=B\r\n"
        "Content-Length: 100000\r\n\r\n--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.wav\"\r\n\r\n";
    return raw_exchange(s.http_port(), head + std::string(40, 'x'), head.size(), 300);
  });
  std::string text;
  for (int i = 0; i < 50; i++) {  // the departed holder's stream comes back within moments
    text = post(s, speech_file(), "-F response_format=text", "", &status);
    if (status == 200) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(text, want + "\n");
  const std::string slow_answer = slow.get();
  EXPECT_NE(slow_answer.find("HTTP/1.1 408"), std::string::npos) << slow_answer;

  // A client killed in the middle of its upload.
  TempDir dir;
  ASSERT_EQ(run("sox '" + speech_file() + "' '" + dir.file("long.wav") + "' repeat 20").status, 0);
  const Command killed = run("timeout 1 curl -sS --limit-rate 100k -F 'file=@" + dir.file("long.wav") + "' " +
                             s.url("/v1/audio/transcriptions") + " 2>&1");
  EXPECT_NE(killed.status, 0);
  EXPECT_EQ(post(s, speech_file(), "-F response_format=text"), want + "\n");

  // A client that leaves after its upload stops its transcription (of twenty minutes of audio,
  // which would take far longer than the wait below) before its end.
  ASSERT_EQ(run("sox '" + speech_file() + "' -r 16000 '" + dir.file("twenty_minutes.wav") + "' repeat 400").status, 0);
  run("timeout 2 curl -sS -F 'file=@" + dir.file("twenty_minutes.wav") + "' " + s.url("/v1/audio/transcriptions"));
  bool stopped = false;
  for (int i = 0; i < 150 && !stopped; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stopped = s.log().find("transcription stopped: the client left") != std::string::npos;
  }
  EXPECT_TRUE(stopped) << s.log();
  EXPECT_EQ(s.stop(), 0);
}

TEST(Server, sigterm_lets_the_running_transcription_finish_then_exits_zero) {
  ServerProcess s;
  TempDir dir;
  const std::string raw = dir.file("speech.raw");
  ASSERT_EQ(run("sox '" + speech_file() + "' -r 16000 -t raw -e signed-integer -b 16 -c 1 '" + raw + "'").status, 0);
  const std::string pcm = read_file(raw);
  const std::string want = wyoming_transcribe(s.wyoming_port(), pcm, 16000, 2, 1);
  WyomingClient c(s.wyoming_port());
  const json format = {{"rate", 16000}, {"width", 2}, {"channels", 1}};
  c.send("audio-start", format);
  ASSERT_EQ(c.read().type, "transcript-start");
  c.send("audio-chunk", format, pcm.substr(0, pcm.size() / 2));
  s.terminate();
  // Until the server has taken the signal a new request is still served; after it, none is.
  const std::string request = "curl -sS -o /dev/null -w '%{http_code}' " + s.url("/v1/audio/transcriptions") +
                              " -F 'file=@" + speech_file() + "'";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string code = run(request).out;
  while (code == "200" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    code = run(request).out;
  }
  EXPECT_EQ(code, "503") << "no new transcription starts once stopping";
  c.send("audio-chunk", format, pcm.substr(pcm.size() / 2));
  c.send("audio-stop");
  EXPECT_EQ(c.read_until("transcript").data["text"], want);
  EXPECT_EQ(s.wait_exit(), 0);
}

}  // namespace
