// The INT8 table's plain operations: lookup by source address and release.
#include "formats/int8_table.h"

#include <memory>
#include <new>

namespace {

void fill(orv_int8_matrix_t* out, const Int8Entry& e) {
  out->weights = e.weight_data();
  out->scales = e.scale_data();
  out->n = int8_rows(e.numel, e.k);
  out->k = static_cast<int32_t>(e.k);
}

}  // namespace

extern "C" {

orv_int8_table_t* orv_int8_table_new(void) { return new (std::nothrow) orv_int8_table_t; }

void orv_int8_table_free(orv_int8_table_t* t) { std::unique_ptr<orv_int8_table_t> owned(t); }

void orv_int8_table_clear(orv_int8_table_t* t) {
  if (!t) return;
  t->entries.clear();
  t->loaded_from_file = false;
  t->match_index = 0;
  t->file = Mapping();
}

int orv_int8_table_count(const orv_int8_table_t* t) {
  return t ? static_cast<int>(t->entries.size()) : 0;
}

int orv_int8_find(const orv_int8_table_t* t, const uint16_t* w, orv_int8_matrix_t* out) {
  if (!t || !w || !out) return 0;
  for (const Int8Entry& e : t->entries)
    if (e.key == w) {
      fill(out, e);
      return 1;
    }
  return 0;
}

}  // extern "C"
