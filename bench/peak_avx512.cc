#include "peak_loops.h"

typedef float Vec16 __attribute__((vector_size(64)));

qen_bench::PeakLoops qen_bench::peak_loops_avx512() { return Loops<Vec16>::table(); }
