// float64 values of pandas objects at the boundary of the statistics kernels.
#include "pnl_engine/values.hpp"

#include <string>

#include "pnl_engine/module.hpp"

namespace tessary::pnl {

using namespace nb::literals;

SeriesValues series_values(nb::handle series, const char *what) {
    nb::object np = attr("np");
    SeriesValues out;
    out.owner = series.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
    nb::ndarray<const double, nb::ndim<1>, nb::device::cpu> arr;
    if (!nb::try_cast(out.owner, arr, /*convert=*/false))
        throw nb::value_error((std::string(what) + " must be a single column of numbers").c_str());
    out.size = arr.shape(0);
    out.view.data = arr.data();
    out.view.stride = (std::ptrdiff_t)arr.stride(0);
    return out;
}

nb::object frame_values(nb::handle frame) {
    return frame.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = attr("np").attr("nan"));
}

double to_double(nb::handle obj) {
    double d = PyFloat_AsDouble(obj.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

double trading_days_per_year() { return to_double(attr("TRADING_DAYS_PER_YEAR")); }

}  // namespace tessary::pnl
