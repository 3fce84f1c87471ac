// Long-to-wide conversion of factor answers. Stock codes, dates and factor names
// are factorised natively (Arrow string buffers, datetime64 and int64 columns;
// pandas' factorize for anything else), each distinct value is converted once
// with the same pandas steps a row-wise conversion would take, and the kept rows
// are scattered into one matrix per factor with the GIL released.
#include <nanobind/ndarray.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "prepare/builder.hpp"
#include "prepare/kernels/factorize.hpp"
#include "prepare/kernels/pivot.hpp"

namespace tessary::prep::builder {

namespace {

const char *const kMissingKeyColumns = "因子查询返回结果缺少 ukey/date 列";

/// A held buffer-protocol view of a pyarrow Buffer.
struct HeldBuffer {
    Py_buffer view{};
    bool held = false;
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer &) = delete;
    HeldBuffer &operator=(const HeldBuffer &) = delete;
    ~HeldBuffer() {
        if (held) PyBuffer_Release(&view);
    }
    void acquire(nb::handle buffer) {
        if (PyObject_GetBuffer(buffer.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
        held = true;
    }
};

/// Codes of one factorised column: raw id per row (-1 = missing) and the distinct
/// raw values, one per id, as a Series of the column's dtype.
struct Codes {
    nb::object owner;  // numpy array of the codes
    kernels::CodeColumn col;
    nb::object uniques;
};

/// A new numpy array of n signed integers of `width` bytes (2 or 4), and its data.
nb::object new_code_array(std::size_t n, int width, void **data) {
    nb::object arr = np().attr("empty")(n, "dtype"_a = width == 2 ? "int16" : "int32");
    auto view = nb::cast<nb::ndarray<nb::ndim<1>, nb::c_contig>>(arr);
    *data = view.data();
    return arr;
}

/// Runs `factorize(codes, width, first)` with 16-bit codes, and again with 32-bit
/// codes when there are too many distinct values for 16 bits.
template <class F>
kernels::FactorizeStatus factorize_compact(std::size_t n, Codes &out, std::vector<std::int64_t> &first, F factorize) {
    kernels::FactorizeStatus status = kernels::FactorizeStatus::TooManyIds;
    for (int width : {2, 4}) {
        void *codes = nullptr;
        nb::object owner = new_code_array(n, width, &codes);
        {
            nb::gil_scoped_release release;
            status = factorize(codes, width, first);
        }
        if (status == kernels::FactorizeStatus::TooManyIds) continue;
        out.owner = owner;
        out.col = {codes, (std::uint8_t)width};
        break;
    }
    return status;
}

nb::object int64_array(const std::vector<std::int64_t> &values) {
    nb::object arr = np().attr("empty")(values.size(), "dtype"_a = "int64");
    auto view = nb::cast<nb::ndarray<std::int64_t, nb::ndim<1>, nb::c_contig>>(arr);
    std::copy(values.begin(), values.end(), view.data());
    return arr;
}

bool is_arrow_backed(nb::handle column) {
    nb::object p = pd();
    nb::object dtype = column.attr("dtype");
    if (nb::isinstance(dtype, p.attr("StringDtype")))
        // "pyarrow_numpy": pandas 2.2's name for the arrow-backed string dtype whose
        // missing value is NaN (pandas 3's default `str`).
        return text_of(dtype.attr("storage")) == "pyarrow" || text_of(dtype.attr("storage")) == "pyarrow_numpy";
    return nb::isinstance(dtype, p.attr("ArrowDtype"));
}

/// Native factorisation of an Arrow-backed string column; false when the column's
/// layout is not a plain (large) string array.
bool arrow_string_codes(nb::handle column, std::size_t n, Codes &out) {
    nb::object chunked = column.attr("array").attr("__arrow_array__")();
    nb::object chunks = nb::hasattr(chunked, "chunks") ? chunked.attr("chunks") : nb::object(nb::make_tuple(chunked));
    std::vector<kernels::StringChunk> parts;
    std::vector<std::unique_ptr<HeldBuffer>> held;
    std::size_t total = 0;
    static const char kEmpty[1] = {0};
    for (nb::handle chunk : chunks) {
        const std::string type = text_of(chunk.attr("type"));
        if (type != "string" && type != "large_string") return false;
        kernels::StringChunk c;
        c.large_offsets = type == "large_string";
        c.offset = nb::cast<std::int64_t>(chunk.attr("offset"));
        c.length = (std::int64_t)nb::len(chunk);
        total += (std::size_t)c.length;
        if (c.length == 0) continue;
        nb::list buffers = nb::list(chunk.attr("buffers")());
        if (nb::len(buffers) != 3 || buffers[1].is_none()) return false;
        const std::int64_t width = c.large_offsets ? 8 : 4;
        if (!buffers[0].is_none()) {
            held.push_back(std::make_unique<HeldBuffer>());
            held.back()->acquire(buffers[0]);
            if (held.back()->view.len * 8 < c.offset + c.length) return false;
            c.validity = static_cast<const std::uint8_t *>(held.back()->view.buf);
        }
        held.push_back(std::make_unique<HeldBuffer>());
        held.back()->acquire(buffers[1]);
        if (held.back()->view.len < (c.offset + c.length + 1) * width) return false;
        c.offsets = held.back()->view.buf;
        if (buffers[2].is_none()) {
            c.data = kEmpty;
            c.data_size = 0;
        } else {
            held.push_back(std::make_unique<HeldBuffer>());
            held.back()->acquire(buffers[2]);
            c.data = static_cast<const char *>(held.back()->view.buf);
            c.data_size = (std::int64_t)held.back()->view.len;
        }
        parts.push_back(c);
    }
    if (total != n) return false;
    std::vector<std::int64_t> first;
    auto status = factorize_compact(n, out, first, [&](void *codes, int width, std::vector<std::int64_t> &f) {
        return kernels::factorize_strings(parts, codes, width, f);
    });
    if (status != kernels::FactorizeStatus::Ok) {
        out = Codes();
        return false;
    }
    // The distinct strings straight from the buffers (first rows ascend): a take on
    // the column would concatenate its chunks.
    nb::list uniques;
    std::size_t part = 0;
    std::int64_t part_start = 0;
    for (std::int64_t row : first) {
        while (row >= part_start + parts[part].length) part_start += parts[part++].length;
        const kernels::StringChunk &c = parts[part];
        const std::int64_t e = c.offset + (row - part_start);
        const std::int64_t b = c.large_offsets ? static_cast<const std::int64_t *>(c.offsets)[e]
                                               : static_cast<const std::int32_t *>(c.offsets)[e];
        const std::int64_t end = c.large_offsets ? static_cast<const std::int64_t *>(c.offsets)[e + 1]
                                                 : static_cast<const std::int32_t *>(c.offsets)[e + 1];
        PyObject *text = PyUnicode_DecodeUTF8(c.data + b, (Py_ssize_t)(end - b), "strict");
        if (!text) throw nb::python_error();
        uniques.append(nb::steal(text));
    }
    out.uniques = pd().attr("Series")(uniques, "dtype"_a = column.attr("dtype"));
    return true;
}

/// The codes of a pandas Categorical column; its categories are the distinct values.
bool categorical_codes(nb::handle column, std::size_t n, Codes &out) {
    if (!nb::isinstance(column.attr("dtype"), pd().attr("CategoricalDtype"))) return false;
    nb::object numpy = np();
    nb::object codes = numpy.attr("ascontiguousarray")(column.attr("cat").attr("codes").attr("to_numpy")());
    long width = nb::cast<long>(codes.attr("dtype").attr("itemsize"));
    if (width > 4) {
        codes = codes.attr("astype")("int32");
        width = 4;
    }
    auto view = nb::cast<nb::ndarray<nb::ro, nb::ndim<1>, nb::c_contig>>(codes);
    nb::object categories = column.attr("cat").attr("categories");
    kernels::CodeColumn col{view.data(), (std::uint8_t)width};
    if ((std::size_t)view.shape(0) != n || !kernels::codes_in_range(col, n, nb::len(categories)))
        throw nb::value_error("categorical column has codes outside its categories");
    out.owner = codes;
    out.col = col;
    out.uniques = pd().attr("Series")(categories);
    return true;
}

/// pandas' factorize of any column (NaN-like values coded -1).
void pandas_codes(nb::handle column, std::size_t n, Codes &out) {
    nb::object numpy = np();
    nb::tuple res = nb::cast<nb::tuple>(pd().attr("factorize")(column));
    out.owner = numpy.attr("ascontiguousarray")(res[0], "dtype"_a = "int32");
    auto view = nb::cast<nb::ndarray<const std::int32_t, nb::ndim<1>, nb::c_contig>>(out.owner);
    if ((std::size_t)view.shape(0) != n) throw nb::value_error("factorize returned codes of the wrong length");
    const std::size_t n_ids = nb::len(nb::object(res[1]));
    std::vector<std::int64_t> first;
    bool ok;
    {
        nb::gil_scoped_release release;
        ok = kernels::first_positions(view.data(), n, n_ids, first);
    }
    if (!ok) throw nb::value_error("factorize returned inconsistent codes");
    out.col = {view.data(), 4};
    out.uniques = column.attr("take")(int64_array(first));
}

/// Codes of a text column (stock codes, factor names). Distinct values still need
/// their str form (astype(str)); rows are converted up front only for dtypes
/// without a native path.
Codes text_codes(nb::handle column, std::size_t n) {
    Codes out;
    if (categorical_codes(column, n, out)) return out;
    if (is_arrow_backed(column) && arrow_string_codes(column, n, out)) return out;
    // astype(str) keeps a missing value missing on pandas 3 but turns it into the text
    // "None" or "nan" on pandas 2: masked back, it is a missing key on both.
    nb::object as_text =
        column.attr("astype")(nb::handle((PyObject *)&PyUnicode_Type)).attr("where")(column.attr("notna")());
    if (!(is_arrow_backed(as_text) && arrow_string_codes(as_text, n, out))) pandas_codes(as_text, n, out);
    return out;
}

/// Codes of a date column: strings natively, naive datetime64 and int64 as integers
/// (NaT missing), categoricals by their codes, anything else through pandas.
Codes date_codes(nb::handle column, std::size_t n) {
    Codes out;
    nb::object numpy = np();
    nb::object dtype = column.attr("dtype");
    if (categorical_codes(column, n, out)) return out;
    if (is_arrow_backed(column) && arrow_string_codes(column, n, out)) return out;
    if (nb::isinstance(dtype, numpy.attr("dtype"))) {
        const std::string kind = text_of(dtype.attr("kind"));
        const long itemsize = nb::cast<long>(dtype.attr("itemsize"));
        if ((kind == "M" || kind == "i") && itemsize == 8) {
            nb::object values = numpy.attr("ascontiguousarray")(column.attr("to_numpy")()).attr("view")("int64");
            auto view = nb::cast<nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig>>(values);
            std::vector<std::int64_t> first;
            const bool has_nat = kind == "M";
            factorize_compact(n, out, first, [&](void *codes, int width, std::vector<std::int64_t> &f) {
                return kernels::factorize_int64(view.data(), n, has_nat, INT64_MIN, codes, width, f);
            });
            out.uniques = column.attr("take")(int64_array(first));
            return out;
        }
    }
    pandas_codes(column, n, out);
    return out;
}

/// Distinct converted labels: raw id -> final id (-1 for a missing label), one
/// representative position per final id, and each final id's rank in sorted order.
struct Labels {
    nb::object series;             // converted labels, one per raw id
    std::vector<std::int32_t> map; // raw id -> final id
    std::vector<std::int64_t> rep; // final id -> position in `series`
    std::vector<std::int32_t> order;  // final ids in ascending label order
};

Labels merge_labels(nb::object converted, std::size_t n_ids, const char *what) {
    nb::object p = pd();
    if (!nb::isinstance(converted, p.attr("Series"))) converted = p.attr("Series")(converted);
    if (nb::len(converted) != n_ids)
        throw nb::value_error((std::string(what) + " conversion returned " + std::to_string(nb::len(converted)) +
                               " values for " + std::to_string(n_ids) + " inputs").c_str());
    Labels out;
    out.series = converted;
    nb::list values = nb::list(converted.attr("tolist")());
    nb::list missing = nb::list(converted.attr("isna")().attr("tolist")());
    nb::dict seen;
    nb::list finals;
    out.map.assign(n_ids, -1);
    for (std::size_t i = 0; i < n_ids; ++i) {
        if (nb::cast<bool>(missing[i])) continue;
        nb::handle v = values[i];
        PyObject *found = PyDict_GetItemWithError(seen.ptr(), v.ptr());
        if (!found && PyErr_Occurred()) throw nb::python_error();
        std::int32_t id;
        if (found) {
            id = (std::int32_t)PyLong_AsLong(found);
        } else {
            id = (std::int32_t)out.rep.size();
            seen[v] = nb::int_(id);
            out.rep.push_back((std::int64_t)i);
            finals.append(v);
        }
        out.map[i] = id;
    }
    nb::object builtins = nb::module_::import_("builtins");
    nb::object sorted = builtins.attr("sorted")(builtins.attr("range")(nb::len(finals)),
                                                "key"_a = finals.attr("__getitem__"));
    for (nb::handle id : sorted) out.order.push_back(nb::cast<std::int32_t>(id));
    return out;
}

/// Positions of the used final ids of one slot in sorted order, and the index of
/// their labels under `name`.
nb::object compact_axis(const Labels &labels, const std::uint8_t *used, std::vector<std::int32_t> &pos_of,
                        const char *name) {
    pos_of.assign(labels.rep.size(), -1);
    std::vector<std::int64_t> take;
    for (std::int32_t id : labels.order) {
        if (!used[id]) continue;
        pos_of[(std::size_t)id] = (std::int32_t)take.size();
        take.push_back(labels.rep[(std::size_t)id]);
    }
    nb::object values = labels.series.attr("take")(int64_array(take)).attr("array");
    return pd().attr("Index")(values, "name"_a = name);
}

/// Column positions of a frame by label after the answer's renames.
class Columns {
public:
    explicit Columns(nb::handle df) : df_(df) {
        static const char *const kRenames[][2] = {
            {"date", "DataDate"}, {"value", "x"}, {"factor", "factorname"}, {"factor_name", "factorname"}};
        Py_ssize_t p = 0;
        for (nb::handle label : df.attr("columns")) {
            nb::object key = nb::borrow(label);
            if (PyUnicode_Check(label.ptr())) {
                for (const auto &r : kRenames)
                    if (PyUnicode_CompareWithASCIIString(label.ptr(), r[0]) == 0) key = nb::str(r[1]);
            }
            nb::object list = positions_.attr("setdefault")(key, nb::list());
            nb::cast<nb::list>(list).append(nb::int_(p));
            ++p;
        }
    }
    bool has(nb::handle label) const { return positions_.contains(label); }
    /// The column under `label`; a label that two columns share after renaming is
    /// rejected rather than guessed.
    nb::object get(nb::handle label) const {
        nb::list pos = nb::cast<nb::list>(positions_[label]);
        if (nb::len(pos) != 1)
            throw nb::value_error(("factor query answer has " + std::to_string(nb::len(pos)) + " columns named " +
                                   text_of(nb::repr(label)) + " after renaming")
                                      .c_str());
        return df_.attr("iloc")[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), pos[0])];
    }

private:
    nb::handle df_;
    nb::dict positions_;
};

/// A contiguous float64 array of pd.to_numeric(column, errors="coerce"), missing as
/// NaN. Plain numpy numbers are already numeric: their values are used as they are
/// (no copy for float64).
nb::object numeric_column(nb::handle column) {
    nb::object numpy = np();
    nb::object dtype = column.attr("dtype");
    if (nb::isinstance(dtype, numpy.attr("dtype"))) {
        const std::string kind = text_of(dtype.attr("kind"));
        if (kind == "f" || kind == "i" || kind == "u" || kind == "b")
            return numpy.attr("ascontiguousarray")(column.attr("to_numpy")(), "dtype"_a = "float64");
        // A float64 cast would silently drop the imaginary part.
        if (kind == "c") throw nb::type_error("factor values must be real numbers, got a complex column");
    }
    nb::object num = pd().attr("to_numeric")(column, "errors"_a = "coerce");
    nb::object arr = num.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = numpy.attr("nan"));
    return numpy.attr("ascontiguousarray")(arr);
}

const double *float_data(nb::handle arr, std::size_t n) {
    auto view = nb::cast<nb::ndarray<const double, nb::ndim<1>, nb::c_contig>>(arr);
    if ((std::size_t)view.shape(0) != n) throw nb::value_error("value column has the wrong length");
    return view.data();
}

}  // namespace

nb::object factors_to_matrices(nb::handle df, nb::handle names) {
    nb::object p = pd();
    nb::dict result;
    for (nb::handle name : names) result[name] = empty_frame();
    if (df.is_none()) return result;
    if (!nb::isinstance(df, p.attr("DataFrame")))
        throw nb::type_error(("factor query answer must be a pandas DataFrame or None, got " + type_name_of(df)).c_str());
    const std::size_t n = nb::len(df);
    if (n == 0) return result;

    Columns cols(df);
    nb::str ukey("ukey"), data_date("DataDate"), x_label("x"), factor_label("factorname");
    if (!cols.has(ukey) || !cols.has(data_date)) raise_key_error(kMissingKeyColumns);

    // Stock codes: the first six characters of the str form; dates: "YYYYMMDD".
    nb::handle str_type((PyObject *)&PyUnicode_Type);
    Codes key_codes = text_codes(cols.get(ukey), n);
    nb::object key_converted = key_codes.uniques.attr("astype")(str_type).attr("str").attr("slice")("stop"_a = 6);
    Labels keys = merge_labels(key_converted, nb::len(key_codes.uniques), "stock code");

    Codes day_codes = date_codes(cols.get(data_date), n);
    Labels days = merge_labels(attr("series_to_yyyymmdd")(day_codes.uniques), nb::len(day_codes.uniques), "date");

    nb::object x_values;
    if (cols.has(x_label)) x_values = numeric_column(cols.get(x_label));

    // One slot per distinct requested name, in the result's order.
    nb::list slot_names;
    nb::dict slot_of;
    for (nb::handle name : result.keys()) {
        slot_of[name] = nb::int_(nb::len(slot_names));
        slot_names.append(name);
    }
    const std::size_t n_slots = nb::len(slot_names);
    std::vector<kernels::PivotRows> jobs;
    std::vector<nb::object> keep_alive;
    std::vector<bool> assigned(n_slots, false);
    std::vector<std::int32_t> group_map;
    Codes group_codes;

    kernels::PivotRows base;
    base.n = n;
    base.date_code = day_codes.col;
    base.date_map = days.map.data();
    base.key_code = key_codes.col;
    base.key_map = keys.map.data();

    if (cols.has(factor_label)) {
        // Narrow answer: rows grouped by the str form of the factor name; groups
        // that were not asked for (and missing names) are ignored.
        group_codes = text_codes(cols.get(factor_label), n);
        nb::object groups = group_codes.uniques.attr("astype")(str_type);
        nb::list group_values = nb::list(groups.attr("tolist")());
        nb::list group_missing = nb::list(groups.attr("isna")().attr("tolist")());
        group_map.assign(nb::len(groups), -1);
        bool any = false;
        for (std::size_t g = 0; g < group_map.size(); ++g) {
            if (nb::cast<bool>(group_missing[g])) continue;
            nb::handle name = group_values[g];
            if (!slot_of.contains(name)) continue;
            const std::int32_t slot = nb::cast<std::int32_t>(slot_of[name]);
            group_map[g] = slot;
            assigned[(std::size_t)slot] = true;
            any = true;
        }
        if (!any) return result;
        if (!x_values.is_valid()) raise_key_error("['x'] not in index");
        kernels::PivotRows job = base;
        job.x = float_data(x_values, n);
        job.group_code = group_codes.col;
        job.group_map = group_map.data();
        jobs.push_back(job);
    } else {
        // Wide answer: one value column per requested name.
        for (std::size_t s = 0; s < n_slots; ++s) {
            nb::handle name = slot_names[s];
            if (!cols.has(name)) continue;
            if (name.equal(ukey) || name.equal(data_date))
                throw nb::value_error(("factor name " + text_of(nb::repr(name)) +
                                       " collides with a key column of the answer")
                                          .c_str());
            nb::object values = nb::object(name.equal(x_label) ? x_values : numeric_column(cols.get(name)));
            keep_alive.push_back(values);
            kernels::PivotRows job = base;
            job.x = float_data(values, n);
            job.slot = (std::int32_t)s;
            jobs.push_back(job);
            assigned[s] = true;
        }
        if (jobs.empty()) return result;
    }

    const std::size_t n_days = days.rep.size(), n_keys = keys.rep.size();
    std::vector<std::uint8_t> day_used(n_slots * n_days, 0), key_used(n_slots * n_keys, 0);
    {
        nb::gil_scoped_release release;
        for (const auto &job : jobs) kernels::pivot_mark(job, n_days, n_keys, day_used.data(), key_used.data());
    }

    std::vector<std::vector<std::int32_t>> row_of(n_slots), col_of(n_slots);
    std::vector<kernels::PivotTarget> targets(n_slots);
    std::vector<std::size_t> sizes(n_slots, 0);
    std::vector<nb::object> blocks(n_slots), indexes(n_slots), columns(n_slots);
    for (std::size_t s = 0; s < n_slots; ++s) {
        if (!assigned[s]) continue;
        indexes[s] = compact_axis(days, day_used.data() + s * n_days, row_of[s], "DataDate");
        columns[s] = compact_axis(keys, key_used.data() + s * n_keys, col_of[s], "ukey");
        const std::size_t rows = nb::len(indexes[s]), width = nb::len(columns[s]);
        // Column-major, the layout of a pandas block: no copy when it is wrapped.
        blocks[s] = np().attr("empty")(nb::make_tuple(width, rows), "dtype"_a = "float64");
        auto view = nb::cast<nb::ndarray<double, nb::ndim<2>, nb::c_contig>>(blocks[s]);
        targets[s] = {row_of[s].data(), col_of[s].data(), view.data(), rows};
        sizes[s] = rows * width;
    }
    {
        nb::gil_scoped_release release;
        for (std::size_t s = 0; s < n_slots; ++s)
            if (assigned[s]) kernels::fill_nan(targets[s].out, sizes[s]);
        for (const auto &job : jobs) kernels::pivot_scatter(job, targets.data());
    }
    nb::object frame_type = p.attr("DataFrame");
    nb::object clean = attr("clean_matrix");
    for (std::size_t s = 0; s < n_slots; ++s) {
        if (!assigned[s]) continue;
        nb::object frame =
            frame_type(blocks[s].attr("T"), "index"_a = indexes[s], "columns"_a = columns[s], "copy"_a = false);
        blocks[s] = nb::object();
        result[slot_names[s]] = clean(frame);
    }
    return result;
}

}  // namespace tessary::prep::builder
