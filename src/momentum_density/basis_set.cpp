// Bundles the caller's basis arrays and their derived counts for the momentum
// density engine.
#include "momentum_density/basis_set.h"

namespace kernels {

BasisSet make_basis_set(const BasisArrays &arrays) { return {arrays, count_basis(arrays)}; }

}  // namespace kernels
