// What this x86-64 CPU and the operating system let the process run. A vector
// instruction set counts only when the CPU has it and the operating system
// saves its registers across thread switches (XCR0), so an AVX-512 CPU under
// a system that keeps only the 256-bit state reports AVX2 alone.
#pragma once

namespace qen {

bool cpu_has_avx2();
bool cpu_has_avx512f();
// Fused multiply-add on 256-bit registers (FMA3), with their state saved.
bool cpu_has_fma();
// Whether the CPU runs each 512-bit operation as two 256-bit halves (AMD's
// family 19h, Zen 4), so that AVX-512 adds width there but no throughput.
bool cpu_splits_512_bit_operations();

}  // namespace qen
