// Loaded contexts for tests, released with orv_free.
#ifndef ORVANE_TEST_CONTEXT_PTR_H
#define ORVANE_TEST_CONTEXT_PTR_H

#include <memory>
#include <stdexcept>
#include <string>

#include "orvane.h"
#include "tiny_model.h"

struct CtxFree {
  void operator()(orv_ctx_t* ctx) const { orv_free(ctx); }
};
using CtxPtr = std::unique_ptr<orv_ctx_t, CtxFree>;

// A fresh context of the model in DIR, the standard tiny model by default.
inline CtxPtr load_context(const std::string& dir = tiny_model_dir()) {
  CtxPtr ctx(orv_load(dir.c_str()));
  if (!ctx) throw std::runtime_error("cannot load the model in " + dir);
  return ctx;
}

#endif
