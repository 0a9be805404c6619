#include "kernels/tsa/common.hpp"

namespace ms::kernels::tsa {

std::optional<Eigen::PartialPivLU<Eigen::MatrixXd>> lu_factor(const Eigen::MatrixXd& a) {
    Eigen::PartialPivLU<Eigen::MatrixXd> lu(a);
    const Eigen::MatrixXd& f = lu.matrixLU();
    for (Eigen::Index i = 0; i < f.rows(); ++i)
        if (f(i, i) == 0.0) return std::nullopt;
    return lu;
}

std::optional<Eigen::VectorXd> lu_solve(const Eigen::MatrixXd& a, const Eigen::VectorXd& b) {
    auto lu = lu_factor(a);
    if (!lu) return std::nullopt;
    return Eigen::VectorXd(lu->solve(b));
}

}  // namespace ms::kernels::tsa
