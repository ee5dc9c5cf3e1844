#pragma once
// Which instruction set the vectorised kernels of the post-quantum code use: AVX2 when the
// processor has it, else portable code that the compiler vectorises for the baseline
// instruction set. Both give the same bytes; tests run each. The AVX2 backend also uses
// BMI1, which every processor with AVX2 has; it is offered only with both.

namespace duoquill::pq {

enum class VectorBackend { portable, avx2 };

VectorBackend vectorBackend() noexcept;
// Selects a backend for the whole process; false (and no change) when the processor lacks it.
bool useVectorBackend(VectorBackend backend) noexcept;

}  // namespace duoquill::pq
