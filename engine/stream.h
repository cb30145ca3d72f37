// The streaming record behind orv_stream_t (public functions in orvane.h). Declared here so the
// engine's own tests can check its counters; callers see it as opaque.
#ifndef ORVANE_STREAM_H
#define ORVANE_STREAM_H

#include "orvane.h"

#endif
