// Audio read from a file descriptor while it arrives. A WAV stream's header is walked chunk by
// chunk up to the samples; the samples are then mixed to mono and resampled block by block, so a
// recorder's pipe is transcribed while the recording runs and never held whole.
#include "audio/audio_reader.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "base/c_edge.h"
#include "formats/shape.h"

namespace {

enum { kBlockFrames = 4096, kFmtBytesMax = 1024 };

// Reads from FD until WANT bytes arrived or the input ended (waiting on a non-blocking
// descriptor); returns the count, or -1 with errno set on a read error.
ssize_t read_full(int fd, void* buf, size_t want) {
  size_t got = 0;
  while (got < want) {
    const ssize_t r = read(fd, static_cast<char*>(buf) + got, want - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == 0) {
      break;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready = {fd, POLLIN, 0};
      poll(&ready, 1, -1);
    } else if (errno != EINTR) {
      return -1;
    }
  }
  return static_cast<ssize_t>(got);
}

// Reads and drops N bytes; the count dropped, or -1 on a read error.
int64_t skip(int fd, uint64_t n) {
  char scratch[4096];
  uint64_t done = 0;
  while (done < n) {
    const ssize_t r = read_full(fd, scratch, static_cast<size_t>(std::min<uint64_t>(n - done, sizeof scratch)));
    if (r < 0) return -1;
    if (r == 0) break;
    done += static_cast<uint64_t>(r);
  }
  return static_cast<int64_t>(done);
}

std::string read_error() { return std::string("read error: ") + std::strerror(errno); }

// Sets the refusal and returns -1, for the many ways a header can end badly.
int64_t refuse(ReadRefusal kind, std::string why, ReadRefusal* kind_out, std::string* why_out) {
  *kind_out = kind;
  *why_out = std::move(why);
  return -1;
}

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Walks the chunks after "RIFF" (already read) up to the data chunk, taking the format from
// "fmt " chunks and dropping every other chunk. Returns the data size, or -1 with KIND and WHY.
int64_t walk_header(int fd, orv_wav_info_t* info, ReadRefusal* kind, std::string* why) {
  uint8_t head[8];
  ssize_t got = read_full(fd, head, 8);
  if (got < 0) return refuse(ReadRefusal::read_error, read_error(), kind, why);
  if (got < 8 || std::memcmp(head + 4, "WAVE", 4) != 0)
    return refuse(ReadRefusal::not_wav, "not a WAV stream", kind, why);
  char reason[128];
  for (;;) {
    got = read_full(fd, head, 8);
    if (got < 0) return refuse(ReadRefusal::read_error, read_error(), kind, why);
    if (got < 8) break;  // ended before the samples
    const uint32_t size = le32(head + 4);
    if (std::memcmp(head, "data", 4) == 0) {
      if (orv_wav_refusal(info, 0, reason, sizeof reason) != 0) break;
      return size;  // the samples follow on the descriptor
    }
    uint64_t rest = uint64_t{size} + (size & 1);
    if (std::memcmp(head, "fmt ", 4) == 0) {
      uint8_t body[kFmtBytesMax];
      const size_t want = std::min<size_t>(size, sizeof body);
      got = read_full(fd, body, want);
      if (got < 0) return refuse(ReadRefusal::read_error, read_error(), kind, why);
      if (static_cast<size_t>(got) < want) break;
      orv_wav_take_fmt(body, want, info);
      rest -= want;
    }
    const int64_t skipped = skip(fd, rest);
    if (skipped < 0) return refuse(ReadRefusal::read_error, read_error(), kind, why);
    if (static_cast<uint64_t>(skipped) < rest - (size & 1)) break;  // a missing final pad is fine
  }
  orv_wav_refusal(info, 1, reason, sizeof reason);
  return refuse(ReadRefusal::unsupported, reason, kind, why);
}

}  // namespace

orv_audio_reader_t::orv_audio_reader_t(int fd, bool wav, const orv_wav_info_t& fmt, uint64_t data_left)
    : fd_(fd),
      wav_(wav),
      channels_(fmt.channels),
      rate_(fmt.sample_rate),
      data_left_(data_left),
      bytes_(static_cast<size_t>(kBlockFrames) * 2 * static_cast<size_t>(fmt.channels)) {
  if (rate_ != ORV_SAMPLE_RATE) resampler_ = std::make_unique<Resampler16k>(rate_);
}

std::unique_ptr<orv_audio_reader_t> orv_audio_reader_t::open(int fd, ReadRefusal* kind, std::string* why) {
  *kind = ReadRefusal::none;
  uint8_t head[4];
  const ssize_t got = read_full(fd, head, sizeof head);
  if (got < 4) {
    refuse(got < 0 ? ReadRefusal::read_error : ReadRefusal::short_input,
           got < 0 ? read_error() : "not enough data", kind, why);
    return nullptr;
  }
  orv_wav_info_t fmt{};
  if (std::memcmp(head, "RIFF", 4) != 0) {
    fmt.channels = 1;
    fmt.sample_rate = ORV_SAMPLE_RATE;
    auto r = std::make_unique<orv_audio_reader_t>(fd, false, fmt, UINT64_MAX);
    std::memcpy(r->bytes_.data(), head, 4);  // the first two samples
    r->carry_ = 4;
    return r;
  }
  const int64_t size = walk_header(fd, &fmt, kind, why);
  if (size < 0) return nullptr;
  const uint32_t data_size = static_cast<uint32_t>(size);
  return std::make_unique<orv_audio_reader_t>(
      fd, true, fmt, orv_wav_size_unknown(data_size) ? UINT64_MAX : uint64_t{data_size});
}

bool orv_audio_reader_t::read(std::vector<float>** block, std::string* why) {
  *block = &out_;
  out_.clear();
  const size_t frame = 2 * static_cast<size_t>(channels_);
  while (out_.empty() && !ended_) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(bytes_.size() - carry_, data_left_));
    const ssize_t got = read_full(fd_, bytes_.data() + carry_, want);
    if (got < 0) {
      *why = read_error();  // a cut recording must not pass for a complete one
      return false;
    }
    if (data_left_ != UINT64_MAX) data_left_ -= static_cast<uint64_t>(got);
    ended_ = static_cast<size_t>(got) < want || data_left_ == 0;
    const size_t have = carry_ + static_cast<size_t>(got), frames = have / frame;
    // A partial frame at the end of the input is dropped.
    mono_.resize(frames);
    orv_s16le_mix(bytes_.data(), static_cast<int>(frames), channels_, mono_.data());
    carry_ = have - frames * frame;
    std::memmove(bytes_.data(), bytes_.data() + frames * frame, carry_);
    if (!resampler_) {
      out_.swap(mono_);
    } else {
      resampler_->push(mono_.data(), mono_.size(), out_);
      if (ended_) resampler_->finish(out_);
    }
  }
  return true;
}

extern "C" {

orv_audio_reader_t* orv_audio_reader_open(int fd) {
  return c_edge("orv_audio_reader_open", static_cast<orv_audio_reader_t*>(nullptr), [&]() -> orv_audio_reader_t* {
    try {
      ReadRefusal kind;
      std::string why;
      std::unique_ptr<orv_audio_reader_t> r = orv_audio_reader_t::open(fd, &kind, &why);
      if (!r) std::fprintf(stderr, "orv_audio_reader_open: %s\n", why.c_str());
      return r.release();
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  });
}

int orv_audio_reader_read(orv_audio_reader_t* r, const float** samples) {
  return c_edge("orv_audio_reader_read", -1, [&]() -> int {
    if (!r || !samples) return -1;
    try {
      std::vector<float>* block = nullptr;
      std::string why;
      if (!r->read(&block, &why)) {
        std::fprintf(stderr, "orv_audio_reader_read: %s\n", why.c_str());
        return -1;
      }
      *samples = block->data();
      return static_cast<int>(block->size());
    } catch (const std::bad_alloc&) {
      return -1;
    }
  });
}

void orv_audio_reader_free(orv_audio_reader_t* r) { std::unique_ptr<orv_audio_reader_t> owned(r); }

}  // extern "C"
