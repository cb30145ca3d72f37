// Whole recordings in one call (orv_transcribe_samples, orv_transcribe and orv_transcribe_stdin
// are public, in orvane.h).
#ifndef ORVANE_TRANSCRIBE_H
#define ORVANE_TRANSCRIBE_H

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// Removes leading and trailing white space (space, \t, \n, \v, \f, \r) from TEXT in place,
// moving the rest to the front. NULL does nothing.
void orv_trim(char *text);

#ifdef __cplusplus
}
#endif

#endif
