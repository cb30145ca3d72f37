// A tiny model whose tokens follow the audio.
#ifndef ORVANE_TEST_AUDIO_DRIVEN_MODEL_H
#define ORVANE_TEST_AUDIO_DRIVEN_MODEL_H

#include <string>

// The tiny model (seed 1) with its token embedding scaled down 16 times. In the plain random
// model a token's own embedding dominates the scores of the next step, so the decoder repeats its
// prompt's padding token whatever it hears; scaled down, the audio decides the tokens, and the
// transcript of speech is text that changes with the speech.
const std::string& audio_driven_model_dir();

#endif
