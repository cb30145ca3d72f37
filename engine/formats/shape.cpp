// The model's dimensions: production values, or those a model directory declares in
// orvane-shape.json. The file is read strictly: a typo must fail loudly rather than leave a
// production value in place and fail later with a confusing tensor mismatch.
#include "formats/shape.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/json_scan.h"

namespace {

constexpr const char* kShapeFile = "orvane-shape.json";
constexpr size_t kShapeFileMax = 64 * 1024;
// Far above any real model, low enough that a window plus its headroom, or a product of two
// sizes, cannot overflow in the code that allocates from them.
constexpr int kSizeMax = 1 << 20;

struct BlockField {
  const char* key;
  int orv_block_shape_t::*member;
};
// The decoder has every field; the encoder all but the last.
constexpr BlockField kBlockFields[] = {
    {"dim", &orv_block_shape_t::dim},           {"layers", &orv_block_shape_t::layers},
    {"heads", &orv_block_shape_t::heads},       {"kv_heads", &orv_block_shape_t::kv_heads},
    {"head_dim", &orv_block_shape_t::head_dim}, {"hidden", &orv_block_shape_t::hidden},
    {"window", &orv_block_shape_t::window},     {"vocab", &orv_block_shape_t::vocab},
};
constexpr size_t kEncoderFields = 7;
constexpr size_t kDecoderFields = 8;

__attribute__((format(printf, 1, 2))) int shape_error(const char* fmt, ...) {
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  fprintf(stderr, "%s: %s\n", kShapeFile, line);
  return -1;
}

// A key as it may appear in a message: bounded, one line.
std::string printable(const std::string& key) {
  std::string out = key.substr(0, 64);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
  return out;
}

int check_size(const std::string& name, int v) {
  if (v <= 0) return shape_error("%s must be positive", name.c_str());
  if (v > kSizeMax) return shape_error("%s must be at most %d", name.c_str(), kSizeMax);
  return 0;
}

int check_block(const char* block, const orv_block_shape_t& b) {
  const std::string prefix = std::string(block) + ".";
  for (size_t i = 0; i < kEncoderFields; ++i)
    if (check_size(prefix + kBlockFields[i].key, b.*kBlockFields[i].member) != 0) return -1;
  if (b.heads % b.kv_heads != 0)
    return shape_error("%s.heads must be divisible by %s.kv_heads", block, block);
  if (b.head_dim % 2 != 0) return shape_error("%s.head_dim must be even", block);
  return 0;
}

class ShapeParser {
 public:
  ShapeParser(const char* text, size_t len) : js_(text, len) {}

  bool parse(orv_shape_t* s) {
    bool ok = read_object("", [&](const std::string& key, const std::string& name) {
      if (key == "encoder") return read_block(name, &s->encoder, kEncoderFields);
      if (key == "decoder") return read_block(name, &s->decoder, kDecoderFields);
      if (key == "ada_hidden") return read_int(name, &s->ada_hidden);
      return unknown(name);
    });
    if (!ok) return false;
    js_.skip_ws();
    return js_.at_end() || expected("end of text");
  }

 private:
  bool expected(const char* what) {
    shape_error("expected %s at byte %zu", what, js_.offset());
    return false;
  }
  bool unknown(const std::string& name) {
    shape_error("unknown key \"%s\"", printable(name).c_str());
    return false;
  }

  // One object, calling MEMBER(key, qualified name) with the cursor on each value.
  template <class Member>
  bool read_object(const std::string& prefix, Member&& member) {
    js_.skip_ws();
    if (!js_.eat('{')) return expected("'{'");
    js_.skip_ws();
    if (js_.eat('}')) return true;
    std::vector<std::string> seen;
    for (;;) {
      js_.skip_ws();
      if (js_.peek() != '"') return expected("a key");
      size_t at = js_.offset();
      std::string key;
      if (js_.read_string(&key, 64, true) == JsonScan::Str::bad) {
        shape_error("unterminated string at byte %zu", at);
        return false;
      }
      std::string name = prefix + key;
      if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
        shape_error("duplicate key \"%s\"", printable(name).c_str());
        return false;
      }
      seen.push_back(key);
      js_.skip_ws();
      if (!js_.eat(':')) return expected("':'");
      js_.skip_ws();
      if (!member(key, name)) return false;
      js_.skip_ws();
      if (js_.eat('}')) return true;
      if (!js_.eat(',')) return expected("',' or '}'");
    }
  }

  bool read_block(const std::string& name, orv_block_shape_t* b, size_t fields) {
    if (js_.peek() != '{') {
      shape_error("%s must be an object", name.c_str());
      return false;
    }
    return read_object(name + ".", [&](const std::string& key, const std::string& qualified) {
      for (size_t i = 0; i < fields; ++i)
        if (key == kBlockFields[i].key) return read_int(qualified, &(b->*kBlockFields[i].member));
      return unknown(qualified);
    });
  }

  bool read_int(const std::string& name, int* out) {
    int64_t v;
    JsonScan::Num got = js_.read_int(&v);
    char next = js_.peek();
    if (got == JsonScan::Num::none || next == '.' || next == 'e' || next == 'E') {
      shape_error("%s must be an integer", name.c_str());
      return false;
    }
    if (got == JsonScan::Num::overflow || v < INT_MIN || v > INT_MAX) {
      shape_error("%s is out of range", name.c_str());
      return false;
    }
    *out = static_cast<int>(v);
    return true;
  }

  JsonScan js_;
};

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

extern "C" {

orv_shape_t orv_shape_default(void) {
  orv_shape_t s{};
  s.encoder = {1280, 32, 32, 32, 64, 5120, 750, 0};
  s.decoder = {3072, 26, 32, 8, 128, 9216, 8192, ORV_MAX_VOCAB};
  s.ada_hidden = 32;
  return s;
}

int orv_shape_validate(const orv_shape_t* shape) {
  if (!shape) return shape_error("no shape");
  try {
    if (check_block("encoder", shape->encoder) != 0 || check_block("decoder", shape->decoder) != 0)
      return -1;
    if (shape->decoder.vocab <= ORV_FIRST_TEXT_TOKEN || shape->decoder.vocab > ORV_MAX_VOCAB)
      return shape_error("decoder.vocab must be above %d and at most %d", ORV_FIRST_TEXT_TOKEN,
                         ORV_MAX_VOCAB);
    return check_size("ada_hidden", shape->ada_hidden);
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

int orv_shape_parse(const char* text, size_t len, orv_shape_t* out) {
  if (!out || (!text && len)) return shape_error("no text");
  orv_shape_t s = orv_shape_default();
  try {
    if (!ShapeParser(text, len).parse(&s)) return -1;
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (orv_shape_validate(&s) != 0) return -1;
  *out = s;
  return 0;
}

int orv_shape_load_dir(const char* dir, orv_shape_t* out) {
  if (!dir || !out) {
    fprintf(stderr, "orv_shape_load_dir: no model directory\n");
    return -1;
  }
  try {
    const std::string path = std::string(dir) + "/" + kShapeFile;
    // Non-blocking so that a FIFO in its place is refused below instead of hanging the load.
    FdCloser f{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (f.fd < 0) {
      if (errno == ENOENT) {
        *out = orv_shape_default();
        return 0;
      }
      fprintf(stderr, "orv_shape_load_dir: cannot open %s: %s\n", path.c_str(), strerror(errno));
      return -1;
    }
    struct stat st;
    if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      fprintf(stderr, "orv_shape_load_dir: %s is not a regular file\n", path.c_str());
      return -1;
    }
    // Read one byte past the limit so that a file grown since fstat is refused as well.
    std::vector<char> text(kShapeFileMax + 1);
    size_t got = 0;
    while (got < text.size()) {
      ssize_t n = read(f.fd, text.data() + got, text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        fprintf(stderr, "orv_shape_load_dir: cannot read %s: %s\n", path.c_str(), strerror(errno));
        return -1;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    if (got > kShapeFileMax) {
      fprintf(stderr, "orv_shape_load_dir: %s is larger than %zu bytes\n", path.c_str(),
              kShapeFileMax);
      return -1;
    }
    return orv_shape_parse(text.data(), got, out);
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

}  // extern "C"
