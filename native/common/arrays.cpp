// numpy arrays at the binding boundary.
#include "common/arrays.hpp"

#include <cstdint>
#include <string>

using namespace nanobind::literals;

namespace tessary {

namespace {

nb::ndarray<nb::numpy, nb::ro> as_ndarray(nb::handle obj, const char *what, const char *dtype_name) {
    nb::object np = nb::module_::import_("numpy");
    if (!nb::isinstance(obj, np.attr("ndarray"))) {
        std::string got = Py_TYPE(obj.ptr())->tp_name;
        throw nb::type_error((std::string(what) + " must be a numpy " + dtype_name + " array, got " + got).c_str());
    }
    nb::ndarray<nb::numpy, nb::ro> arr;
    if (!nb::try_cast(obj, arr, /*convert=*/false))
        throw nb::type_error((std::string(what) + " must be a numpy " + dtype_name + " array in host memory").c_str());
    return arr;
}

template <class T>
HeldView<T> make_view(nb::handle obj, const char *what, std::size_t rows, std::size_t cols, const char *dtype_name,
                      bool ok_dtype(const nb::dlpack::dtype &)) {
    HeldView<T> h;
    h.array = as_ndarray(obj, what, dtype_name);
    if (!ok_dtype(h.array.dtype())) {
        std::string got = nb::steal<nb::str>(PyObject_Str(obj.attr("dtype").ptr())).c_str();
        throw nb::type_error((std::string(what) + " must be a " + dtype_name + " array, got dtype " + got).c_str());
    }
    if (h.array.ndim() != 2)
        throw nb::value_error((std::string(what) + " must be 2-dimensional, got " + std::to_string(h.array.ndim()) +
                               " dimensions").c_str());
    if ((std::size_t)h.array.shape(0) != rows || (std::size_t)h.array.shape(1) != cols)
        throw nb::value_error((std::string(what) + " has shape (" + std::to_string(h.array.shape(0)) + ", " +
                               std::to_string(h.array.shape(1)) + "), expected (" + std::to_string(rows) + ", " +
                               std::to_string(cols) + ")").c_str());
    h.rows = rows;
    h.cols = cols;
    h.view.data = static_cast<const T *>(h.array.data());
    h.view.row_stride = (std::ptrdiff_t)h.array.stride(0);
    h.view.col_stride = (std::ptrdiff_t)h.array.stride(1);
    return h;
}

bool is_f64(const nb::dlpack::dtype &d) { return d == nb::dtype<double>(); }
bool is_bool(const nb::dlpack::dtype &d) { return d == nb::dtype<bool>(); }

}  // namespace

HeldView<double> float_view(nb::handle obj, const char *what, std::size_t rows, std::size_t cols) {
    return make_view<double>(obj, what, rows, cols, "float64", is_f64);
}

HeldView<std::uint8_t> bool_view(nb::handle obj, const char *what, std::size_t rows, std::size_t cols) {
    return make_view<std::uint8_t>(obj, what, rows, cols, "bool", is_bool);
}

nb::object new_float_array(std::size_t n, double **data) {
    nb::object np = nb::module_::import_("numpy");
    nb::object arr = np.attr("empty")(n, "dtype"_a = "float64");
    nb::ndarray<double, nb::ndim<1>, nb::c_contig> view = nb::cast<nb::ndarray<double, nb::ndim<1>, nb::c_contig>>(arr);
    *data = view.data();
    return arr;
}

nb::object new_float_matrix(std::size_t rows, std::size_t cols, double **data) {
    nb::object np = nb::module_::import_("numpy");
    nb::object arr = np.attr("empty")(nb::make_tuple(rows, cols), "dtype"_a = "float64");
    auto view = nb::cast<nb::ndarray<double, nb::ndim<2>, nb::c_contig>>(arr);
    *data = view.data();
    return arr;
}

}  // namespace tessary
