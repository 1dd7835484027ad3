#!/bin/sh
# Fails if the runtime library holds a fused multiply-add instruction: a
# fused operation rounds once where the kernels' fixed order, and the double
# steps of their expf and tanhf, round twice. On x86-64 it also fails when
# the AVX-512 kernels are missing or hold no 512-bit multiply, and on aarch64
# when the NEON kernels hold no vector multiply, so that an empty disassembly
# cannot pass. The second argument is the target's objdump (the host's by
# default).
set -eu
library=$1
objdump=${2:-objdump}
listing=$("$objdump" -dC --no-show-raw-insn "$library")

# Each fused instruction, prefixed with its object and function: x86's
# (v)f(n)madd/msub forms, aarch64's fmla, fmls (and their widening fmlal,
# fmlsl), fmadd, fmsub, fnmadd, fnmsub.
fused=$(printf '%s\n' "$listing" | awk '
  /^In archive/ { next }
  /file format/ { object = $1; next }
  /^[0-9a-f]+ <.*>:$/ { fn = $0; next }
  /[[:space:]](v?f(n)?m(add|sub)|fml[as])/ { print object " " fn " " $0 }')
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
if printf '%s\n' "$listing" | grep -q 'linear_neon\.cc\.o:'; then
  if ! printf '%s\n' "$listing" | grep -Eq 'fmul[[:space:]]+v[0-9]+\.4s'; then
    echo "no vector multiply in the NEON kernels of $library"
    exit 1
  fi
fi
echo "no fused multiply-add in $library"
