// What a time-series test hands back: its statistic and p-value.
#pragma once

namespace ms::kernels::tsa {

struct TestResult {
    double statistic, pvalue;
};

}  // namespace ms::kernels::tsa
