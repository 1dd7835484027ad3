// The kernel variant of a name in kernel_variants(), for the tests of the
// vector math, whose forms name their variant that way.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

#include "kernels.h"

namespace qen::testing {

inline const KernelVariant& variant_named(const char* name) {
  for (const KernelVariant& v : kernel_variants())
    if (std::strcmp(v.name, name) == 0) return v;
  throw std::logic_error(std::string("no kernel variant named ") + name);
}

}  // namespace qen::testing
