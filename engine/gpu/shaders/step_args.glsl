// Where a decoder pass stands, read from a buffer the host writes before each pass, so that the
// recorded commands of a step can be replayed at every position.
struct StepArgs {
  int q_pos;         // cache row of the step's query
  int seq_k;         // cache rows including the pass's own
  int split;         // keys per workgroup of the split attention
  int splits;        // workgroups per key/value head that see keys
  int cache_offset;  // the pass's first cache row, in pairs of values
};
