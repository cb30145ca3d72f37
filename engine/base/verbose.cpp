#include "orvane.h"

// Diagnostic levels, process-wide; read without synchronisation.
int orv_verbose = 0;
int orv_audio_verbose = 0;
