#include "peak_loops.h"

typedef float Vec4 __attribute__((vector_size(16)));

qen_bench::PeakLoops qen_bench::peak_loops_baseline() { return Loops<Vec4>::table(); }
