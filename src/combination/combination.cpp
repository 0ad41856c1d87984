#include "kernels.h"

#include <ATen/ATen.h>
#include <torch/library.h>

namespace sorbane {

at::Tensor sosfs_combination(const at::Tensor& deficits, int64_t dim) {
    // Sum-of-squares superposition of wakes: the energy deficits add.
    return (deficits * deficits).sum(dim).clamp_min(0.0).sqrt();
}

}  // namespace sorbane

TORCH_LIBRARY_IMPL(sorbane_cpp, CompositeImplicitAutograd, m) {
    m.impl("sosfs_combination", &sorbane::sosfs_combination);
}
