// The label pass four stocks at a time (built with AVX2).
#include "portfolios/kernels/label_days.hpp"

namespace tessary::portfolios::label_detail {

void label_days_4(const LabelPassInputs &in, double *daily_cash) { LabelDays<4>(in, daily_cash).run(); }

}  // namespace tessary::portfolios::label_detail
