// Brackets the measured loops of bench/bench_instructions.py for callgrind.
//
// Python reaches these through ctypes: collection is off outside them
// (--collect-atstart=no), so a dump holds what ran between start() and stop(), and
// is named by the label the benchmark gives it. Outside valgrind they do nothing.
#include <valgrind/callgrind.h>

extern "C" {

__attribute__((visibility("default"))) int velmor_callgrind_active() { return RUNNING_ON_VALGRIND ? 1 : 0; }

__attribute__((visibility("default"))) void velmor_callgrind_start() {
  CALLGRIND_ZERO_STATS;
  CALLGRIND_START_INSTRUMENTATION;
  CALLGRIND_TOGGLE_COLLECT;
}

__attribute__((visibility("default"))) void velmor_callgrind_stop(const char* label) {
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_DUMP_STATS_AT(label);
}

}  // extern "C"
