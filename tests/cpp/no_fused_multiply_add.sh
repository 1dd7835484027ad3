#!/bin/sh
# Fails if the runtime library holds a fused multiply-add instruction that
# could change a result: a fused operation rounds once where the kernels'
# fixed order rounds twice. The one exception is the double-precision forms
# (...pd) in the AVX-512 and AVX2+FMA objects (*_avx512, *_avx2_fma), where
# the correctly rounded expf and tanhf use them: their results do not depend
# on how the doubles are rounded on the way. Every single-precision fused
# form (...ps, ...ss) is refused everywhere, and on aarch64 every fused
# form. On x86-64 it also fails when the AVX-512 kernels are missing or hold
# no 512-bit multiply, and on aarch64 when the NEON kernels hold no vector
# multiply, so that an empty disassembly cannot pass. The second argument is
# the target's objdump (the host's by default): GNU objdump names an archive
# member "name.o:", llvm-objdump "archive.a(name.o):", and both are read.
set -eu
library=$1
objdump=${2:-objdump}
listing=$("$objdump" -dC --no-show-raw-insn "$library")

# Each refused fused instruction, prefixed with its object and function:
# x86's (v)f(n)madd/msub forms, aarch64's fmla, fmls (and their widening
# fmlal, fmlsl), fmadd, fmsub, fnmadd, fnmsub.
fused=$(printf '%s\n' "$listing" | awk '
  /^In archive/ { next }
  /file format/ { object = $1; next }
  /^[0-9a-f]+ <.*>:$/ { fn = $0; next }
  match($0, /[[:space:]](v?f(n)?m(add|sub)|fml[as])[[:alnum:]]*/) {
    mnemonic = substr($0, RSTART + 1, RLENGTH - 1)
    if (object ~ /_(avx512|avx2_fma)\.cc\.o\)?:$/ && mnemonic ~ /^vf.*pd$/) next
    print object " " fn " " $0
  }')
if [ -n "$fused" ]; then
  printf 'fused multiply-add instructions in %s:\n%s\n' "$library" "$fused"
  exit 1
fi

if printf '%s\n' "$listing" | grep -Eq 'linear_avx512\.cc\.o\)?:'; then
  if ! printf '%s\n' "$listing" | grep -Eq 'vmulps.*%zmm'; then
    echo "no 512-bit multiply in the AVX-512 kernels of $library"
    exit 1
  fi
fi
if printf '%s\n' "$listing" | grep -Eq 'linear_neon\.cc\.o\)?:'; then
  if ! printf '%s\n' "$listing" | grep -Eq 'fmul[[:space:]]+v[0-9]+\.4s'; then
    echo "no vector multiply in the NEON kernels of $library"
    exit 1
  fi
fi
echo "no fused multiply-add in $library"
