#include "peak_loops.h"

typedef float Vec8 __attribute__((vector_size(32)));

qen_bench::PeakLoops qen_bench::peak_loops_avx2() { return Loops<Vec8>::table(); }
