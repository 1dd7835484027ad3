#!/bin/sh
# Fails if the runtime library holds a fused multiply-add instruction: a
# fused operation rounds once where the kernels' fixed order, and the double
# steps of their expf and tanhf, round twice. On x86-64 it also fails when
# the AVX-512 kernels are missing or hold no 512-bit multiply, so that an
# empty disassembly cannot pass.
set -eu
library=$1
listing=$(objdump -dC --no-show-raw-insn "$library")

# Each fused instruction, prefixed with its object and function.
fused=$(printf '%s\n' "$listing" | awk '
  /^In archive/ { next }
  /file format/ { object = $1; next }
  /^[0-9a-f]+ <.*>:$/ { fn = $0; next }
  /[[:space:]]v?f(n)?m(add|sub)/ { print object " " fn " " $0 }')
if [ -n "$fused" ]; then
  printf 'fused multiply-add instructions in %s:\n%s\n' "$library" "$fused"
  exit 1
fi

if printf '%s\n' "$listing" | grep -q 'linear_avx512\.cc\.o:'; then
  if ! printf '%s\n' "$listing" | grep -Eq 'vmulps.*%zmm'; then
    echo "no 512-bit multiply in the AVX-512 kernels of $library"
    exit 1
  fi
fi
echo "no fused multiply-add in $library"
