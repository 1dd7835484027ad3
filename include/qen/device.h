// The device an Engine or GraphExecutor is created for. Only CPU is served;
// any value other than CPU (CUDA or an arbitrary code) takes the non-CPU paths.
#pragma once

#include <cstdint>

namespace qen {

enum class Device : int32_t { CPU = 0, CUDA = 1 };

}  // namespace qen
