// Real-time factor of the log-mel front end on one thread: N seconds (default 60) of speech-like
// audio through the incremental state in 0.1 s feeds, and through the batch function.
//
//   mel-speed [SECONDS]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "audio/mel.h"
#include "stopwatch.h"
#include "synth_speech.h"

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  if (seconds < 1) {
    std::fprintf(stderr, "usage: mel-speed [SECONDS]\n");
    return 2;
  }
  const std::vector<float> audio = synth_speech(seconds);
  const int n = static_cast<int>(audio.size());

  auto t0 = std::chrono::steady_clock::now();
  orv_mel_stream_t* m = orv_mel_stream_new(40960);
  if (!m) return 1;
  int frames = 0;
  for (int off = 0; off < n; off += 1600) {
    frames += orv_mel_stream_feed(m, audio.data() + off, std::min(1600, n - off));
    orv_mel_stream_release(m, frames);  // as a long-running stream would
  }
  frames = orv_mel_stream_finish(m, 0);
  const double t_stream = seconds_since(t0);
  orv_mel_stream_free(m);

  t0 = std::chrono::steady_clock::now();
  int batch_frames = 0;
  float* mel = orv_mel_spectrogram(audio.data(), n, &batch_frames);
  const double t_batch = seconds_since(t0);
  if (!mel) return 1;
  std::free(mel);

  std::printf("audio: %d s (%d samples)\n", seconds, n);
  std::printf("incremental: %d frames in %.3f s, %.0fx real time\n", frames, t_stream, seconds / t_stream);
  std::printf("batch:       %d frames in %.3f s, %.0fx real time\n", batch_frames, t_batch, seconds / t_batch);
  return 0;
}
