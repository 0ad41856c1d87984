#include "kernels.h"
#include "precision.h"

#include <ATen/ATen.h>
#include <torch/library.h>

namespace sorbane {

at::Tensor interp1d(const at::Tensor& x, const at::Tensor& y, const at::Tensor& xnew) {
    const at::Tensor xf = xnew.reshape({-1});
    const c10::SymInt n = x.sym_size(0);
    // Left-side rule: a query equal to x[k] lands in interval k - 1, so it is
    // evaluated at that interval's right end.
    at::Tensor j = at::searchsorted(x.contiguous(), xf.contiguous(), /*out_int32=*/false,
                                    /*right=*/false);
    // Out-of-range queries reuse the end intervals: linear extrapolation.
    j = at::clamp(j - 1, 0, c10::Scalar(n - 2));
    const at::Tensor j1 = j + 1;
    const at::Tensor y0 = y.index_select(0, j);
    const at::Tensor y1 = y.index_select(0, j1);
    const at::Tensor x0 = x.index_select(0, j);
    const at::Tensor x1 = x.index_select(0, j1);
    // Machine epsilon of float keeps a zero-width interval (repeated abscissa) finite.
    const at::Tensor s = (y1 - y0) / ((x1 - x0) + f32(1.1920928955078125e-07f));
    return (y0 + s * (xf - x0)).reshape_symint(xnew.sym_sizes());
}

}  // namespace sorbane

TORCH_LIBRARY_IMPL(sorbane_cpp, CompositeImplicitAutograd, m) {
    m.impl("interp1d", &sorbane::interp1d);
}
