// expf and tanhf to interpose (LD_PRELOAD) in place of the C library's in a
// benchmark's child process: a hundred times slower, and one float off the
// C library's result, so that a kernel calling either would show it in its
// rate and in its bits.
#include <math.h>

#include <cstdint>
#include <cstring>

namespace {

float slow_and_off(double value) {
  volatile double v = value;
  for (int i = 0; i < 100; ++i) v = v * 1.0;
  float f = static_cast<float>(v);
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  bits ^= 1;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

}  // namespace

extern "C" float expf(float x) { return slow_and_off(exp(x)); }
extern "C" float tanhf(float x) { return slow_and_off(tanh(x)); }
