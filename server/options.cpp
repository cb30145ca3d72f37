// Command-line parsing for orvane-server.
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "orvane-server: %s\nTry 'orvane-server --help'.\n", message.c_str());
  std::exit(2);
}

int parse_int(const char* text, const std::string& option, int min, int max) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno || end == text || *end || v < min || v > max)
    usage_error("invalid value for " + option + ": '" + text + "' (" + std::to_string(min) + " to " +
                std::to_string(max) + ")");
  return static_cast<int>(v);
}

void parse_address(std::string text, const std::string& option, bool* on, std::string* host, int* port) {
  if (text == "off") {
    *on = false;
    return;
  }
  if (option == "--wyoming") {
    if (text.rfind("tcp://", 0) != 0) usage_error("--wyoming takes tcp://HOST:PORT");
    text.erase(0, 6);
  }
  if (!split_host_port(text, host, port)) usage_error("invalid address for " + option + ": '" + text + "'");
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
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage_error("option " + a + " needs a value");
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "-d") {
      o.engine.model_dir = value();
    } else if (a == "--http") {
      parse_address(value(), a, &o.http_on, &o.http_host, &o.http_port);
    } else if (a == "--wyoming") {
      parse_address(value(), a, &o.wyoming_on, &o.wyoming_host, &o.wyoming_port);
    } else if (a == "--streams") {
      o.engine.streams = parse_int(value(), a, 1, 256);
    } else if (a == "--queue") {
      o.engine.queue = parse_int(value(), a, 0, 4096);
    } else if (a == "--max-upload") {
      o.http.max_upload = static_cast<size_t>(parse_int(value(), a, 1, 1 << 20)) * 1000 * 1000;
    } else if (a == "--read-timeout") {
      o.http.read_timeout_s = parse_int(value(), a, 1, 3600);
    } else if (a == "--grace") {
      o.grace_s = parse_int(value(), a, 0, 86400);
    } else if (a == "--languages") {
      o.languages = split_list(value());
    } else if (a == "--int8") {
      o.engine.int8 = true;
    } else if (a == "--cpu") {
      o.engine.cpu = true;
    } else if (a == "--threads") {
      o.engine.threads = parse_int(value(), a, 1, 1024);
    } else if (a == "-v" || a == "-vv") {
      o.verbose += static_cast<int>(a.size()) - 1;
    } else {
      usage_error("unknown argument '" + a + "'");
    }
  }
  if (o.engine.model_dir.empty()) usage_error("a model directory is required (-d MODEL_DIR)");
  if (!o.http_on && !o.wyoming_on) usage_error("both protocols are off");
  // Every connection gets a thread: the running and waiting transcriptions, and a few more for
  // the requests that only ask about the server.
  o.http.threads = o.engine.streams + o.engine.queue + 8;
  return o;
}
