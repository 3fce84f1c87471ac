// The label pass at the scalar width: every stock through the engine's per-cell step.
#define TESSARY_LABEL_SCALAR_ONLY
#include "portfolios/kernels/label_days.hpp"

namespace tessary::portfolios::label_detail {

void label_days_1(const LabelPassInputs &in, double *daily_cash) { LabelDays<1>(in, daily_cash).run(); }

}  // namespace tessary::portfolios::label_detail
