// What the processor offers beyond baseline x86-64, asked once. The kernels that have
// wide-vector variants use it to pick one at run time.
#pragma once

namespace tessary::kernels {

/// AVX2 (4 doubles per vector).
bool cpu_has_avx2();
/// AVX-512 F, DQ, BW and VL (8 doubles per vector, byte and mask operations).
bool cpu_has_avx512();

}  // namespace tessary::kernels
