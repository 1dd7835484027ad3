#!/bin/sh
# Fails if an object built for AVX2 (with or without FMA) or AVX-512 defines
# a weak symbol: the linker may pick any one copy of an inline function, and
# a copy compiled for a vector instruction set would then run on CPUs
# without it. The second argument is the target's nm (the host's by
# default).
set -eu
library=$1
nm=${2:-nm}
weak=$("$nm" -C "$library" | awk '/^[^ ]*_avx(2|512|2_fma)\.cc\.o:$/ { member = $0; next } /^$/ { member = "" }
  member != "" && ($2 == "W" || $2 == "V" || $2 == "u") { print member " " $0 }')
if [ -n "$weak" ]; then
  printf 'weak symbols in vector kernel objects of %s:\n%s\n' "$library" "$weak"
  exit 1
fi
echo "vector kernel objects of $library define no weak symbols"
