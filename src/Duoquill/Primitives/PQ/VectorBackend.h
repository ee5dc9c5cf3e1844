#pragma once
// Which instruction set the vectorised kernels of the post-quantum code use: the widest the
// processor has, else portable code that the compiler vectorises for the baseline
// instruction set. All give the same bytes; tests run each. The AVX2 backend also uses
// BMI1, which every processor with AVX2 has; it is offered only with both. The AVX-512
// backend is the AVX2 one with a four-way Keccak that rotates and combines three inputs in
// one instruction (AVX-512F and VL on 256-bit registers).

namespace duoquill::pq {

enum class VectorBackend { portable, avx2, avx512 };

VectorBackend vectorBackend() noexcept;
// Whether the backend in use runs the AVX2 kernels (the AVX-512 one does too).
bool usesAvx2() noexcept;
// Selects a backend for the whole process; false (and no change) when the processor lacks it.
bool useVectorBackend(VectorBackend backend) noexcept;

}  // namespace duoquill::pq
