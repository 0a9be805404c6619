// The shared rules of the tests, in one include (Python-free).
#pragma once

#include "infer/common/alternative.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/format.hpp"
#include "infer/common/groups.hpp"
#include "infer/common/order.hpp"
#include "infer/common/pvalue.hpp"
#include "infer/common/sums.hpp"
