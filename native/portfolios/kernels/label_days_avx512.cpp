// The label pass eight stocks at a time (built with AVX-512).
#include "portfolios/kernels/label_days.hpp"

namespace tessary::portfolios::label_detail {

void label_days_8(const LabelPassInputs &in, double *daily_cash) { LabelDays<8>(in, daily_cash).run(); }

}  // namespace tessary::portfolios::label_detail
