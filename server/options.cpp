// Command-line parsing for orvane-server.
#include "options.h"

#include <algorithm>

#include "command_line.h"
#include "net.h"

namespace {

const char kUsage[] =
    "Usage: orvane-server -d MODEL_DIR [options]\n"
    "Serves transcription over the Wyoming protocol and an OpenAI-style HTTP API. The model loads\n"
    "in the background; both protocols answer while it does.\n"
    "\n"
    "Options:\n"
    "  -d DIR                    model directory (consolidated.safetensors, tekken.json)\n"
    "  --http HOST:PORT          HTTP address (default 127.0.0.1:8080; 'off' disables it)\n"
    "  --wyoming tcp://HOST:PORT Wyoming address (default tcp://127.0.0.1:10300; 'off' disables it)\n"
    "  --streams N               transcriptions running at once (default 2)\n"
    "  --queue N                 transcriptions waiting for one of them (default 16)\n"
    "  --max-upload MB           largest HTTP request body, in megabytes (default 200)\n"
    "  --read-timeout S          seconds a read may wait; slower uploads are cut off (default 30)\n"
    "  --grace S                 seconds SIGTERM waits for running transcriptions (default 30)\n"
    "  --languages LIST          languages the Wyoming info lists, comma-separated (default en)\n"
    "  --int8                    decode with 8-bit weights\n"
    "  --cpu                     do not use the GPU\n"
    "  --threads N               CPU threads for the computation (default: every core)\n"
    "  -v, -vv                   progress (-v) or detailed (-vv) diagnostics on standard error\n"
    "  -h, --help                show this help\n";

void parse_address(const CommandLine& args, std::string text, bool* on, std::string* host, int* port) {
  if (text == "off") {
    *on = false;
    return;
  }
  const std::string& option = args.arg();
  if (option == "--wyoming") {
    if (text.rfind("tcp://", 0) != 0) args.error("--wyoming takes tcp://HOST:PORT");
    text.erase(0, 6);
  }
  if (!split_host_port(text, host, port)) args.error("invalid address for " + option + ": '" + text + "'");
}

std::vector<std::string> split_list(const std::string& text) {
  std::vector<std::string> out;
  for (size_t at = 0; at <= text.size();) {
    const size_t comma = std::min(text.find(',', at), text.size());
    if (comma > at) out.push_back(text.substr(at, comma - at));
    at = comma + 1;
  }
  return out;
}

}  // namespace

ServerOptions parse_server_options(int argc, char** argv) {
  ServerOptions o;
  CommandLine args(argc, argv, "orvane-server", kUsage);
  while (args.next()) {
    const std::string& a = args.arg();
    if (a == "-d") {
      o.engine.model_dir = args.value();
    } else if (a == "--http") {
      parse_address(args, args.value(), &o.http_on, &o.http_host, &o.http_port);
    } else if (a == "--wyoming") {
      parse_address(args, args.value(), &o.wyoming_on, &o.wyoming_host, &o.wyoming_port);
    } else if (a == "--streams") {
      o.engine.streams = args.int_value(1, 256);
    } else if (a == "--queue") {
      o.engine.queue = args.int_value(0, 4096);
    } else if (a == "--max-upload") {
      o.http.max_upload = static_cast<size_t>(args.int_value(1, 1 << 20)) * 1000 * 1000;
    } else if (a == "--read-timeout") {
      o.http.read_timeout_s = args.int_value(1, 3600);
    } else if (a == "--grace") {
      o.grace_s = args.int_value(0, 86400);
    } else if (a == "--languages") {
      o.languages = split_list(args.value());
    } else if (a == "--int8") {
      o.engine.int8 = true;
    } else if (a == "--cpu") {
      o.engine.cpu = true;
    } else if (a == "--threads") {
      o.engine.threads = args.int_value(1, 1024);
    } else if (!args.verbosity(&o.verbose)) {
      args.error("unknown argument '" + a + "'");
    }
  }
  if (o.engine.model_dir.empty()) args.error("a model directory is required (-d MODEL_DIR)");
  if (!o.http_on && !o.wyoming_on) args.error("both protocols are off");
  // Every connection gets a thread: the running and waiting transcriptions, and a few more for
  // the requests that only ask about the server.
  o.http.threads = o.engine.streams + o.engine.queue + 8;
  return o;
}
