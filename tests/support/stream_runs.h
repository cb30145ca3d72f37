// Transcriptions through streams of one context: one after another, or each on its own thread
// at the same time.
#ifndef ORVANE_TEST_STREAM_RUNS_H
#define ORVANE_TEST_STREAM_RUNS_H

#include <string>
#include <vector>

#include "orvane.h"

// The text of AUDIO fed to a new stream of CTX in pieces of PIECE samples, then finished.
std::string stream_text(orv_ctx_t* ctx, const std::vector<float>& audio, int piece = 1600);

// stream_text of every recording, all started together, each on its own thread.
std::vector<std::string> stream_texts_concurrently(orv_ctx_t* ctx,
                                                   const std::vector<std::vector<float>>& audio);

// Four short spoken recordings, each different.
const std::vector<std::vector<float>>& four_recordings();

#endif
