// tessary.store._checksum: the store's checksum over any contiguous buffer (bytes, a
// memory map, a numpy array) and the bounded walk over a metadata pickle, both with the
// GIL released.
#include <nanobind/nanobind.h>

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "store/kernels/crc32c.hpp"
#include "store/kernels/pickle_scan.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tessary::store {
namespace {

/// The contiguous bytes of a buffer-protocol object, released with the view.
class Bytes {
  public:
    explicit Bytes(nb::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) {
            PyErr_Clear();
            throw nb::type_error("crc32c needs a contiguous buffer (bytes, memoryview, mmap or numpy array)");
        }
    }
    ~Bytes() { PyBuffer_Release(&view_); }
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    const unsigned char *data() const { return static_cast<const unsigned char *>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
};

unsigned default_threads(unsigned threads) {
    return threads ? threads : std::min(4u, std::max(1u, std::thread::hardware_concurrency()));
}

/// The kernel of a name, "" being the process's choice; a ValueError for a name this
/// build and processor do not run.
Crc32cKernel kernel_of(const std::string &name, bool portable) {
    if (portable) return Crc32cKernel::portable;
    if (name.empty()) return crc32c_chosen();
    for (int k = 0; k < CRC32C_KERNELS; ++k) {
        const auto kernel = static_cast<Crc32cKernel>(k);
        if (name == crc32c_name(kernel)) {
            if (!crc32c_available(kernel)) throw nb::value_error(("crc32c kernel " + name + " does not run here").c_str());
            return kernel;
        }
    }
    throw nb::value_error(("unknown crc32c kernel " + name).c_str());
}

std::uint32_t crc32c_binding(nb::handle data, std::uint32_t crc, bool portable, unsigned threads,
                             const std::string &kernel) {
    const Crc32cKernel k = kernel_of(kernel, portable);
    Bytes bytes(data);
    Crc32cSpan span{bytes.data(), bytes.size(), crc};
    nb::gil_scoped_release release;
    crc32c_spans(&span, 1, default_threads(threads), k);
    return span.crc;
}

/// The checksums of several buffers in one call, their bytes shared out among the threads.
nb::list crc32c_many_binding(nb::sequence buffers, unsigned threads) {
    std::vector<std::unique_ptr<Bytes>> held;
    std::vector<Crc32cSpan> spans;
    for (nb::handle obj : buffers) {
        held.push_back(std::make_unique<Bytes>(obj));
        spans.push_back({held.back()->data(), held.back()->size(), 0});
    }
    {
        nb::gil_scoped_release release;
        crc32c_spans(spans.data(), spans.size(), default_threads(threads), crc32c_chosen());
    }
    nb::list out;
    for (const Crc32cSpan &span : spans) out.append(span.crc);
    return out;
}

nb::list kernels_binding() {
    nb::list out;
    for (int k = 0; k < CRC32C_KERNELS; ++k)
        if (crc32c_available(static_cast<Crc32cKernel>(k))) out.append(crc32c_name(static_cast<Crc32cKernel>(k)));
    return out;
}

/// (status, opcodes walked, opcode) of the walk over the pickle in `data`.
nb::tuple scan_pickle_binding(nb::handle data, std::int64_t max_ops) {
    Bytes bytes(data);
    ScanResult r;
    {
        nb::gil_scoped_release release;
        r = scan_pickle(bytes.data(), bytes.size(), max_ops);
    }
    return nb::make_tuple(static_cast<int>(r.status), r.ops, r.opcode);
}

}  // namespace
}  // namespace tessary::store

NB_MODULE(_checksum, m) {
    m.doc() = "CRC-32C checksums of the store's files.";
    m.def("crc32c", &tessary::store::crc32c_binding, "data"_a, "crc"_a = 0, "portable"_a = false, "threads"_a = 0,
          "kernel"_a = "",
          "CRC-32C of the bytes of `data` appended to those whose CRC-32C is `crc` (0: none); "
          "`portable` forces the table-driven code, `kernel` one of kernels() (\"\": the chosen one); a large "
          "buffer is hashed in parts on up to `threads` threads (0: the cores, at most 4).");
    m.def("crc32c_many", &tessary::store::crc32c_many_binding, "buffers"_a, "threads"_a = 0,
          "The CRC-32C of each buffer of `buffers`, their bytes shared out among up to `threads` threads "
          "(0: the cores, at most 4).");
    m.def("kernels", &tessary::store::kernels_binding, "The CRC-32C kernels this build and processor run.");
    m.def("kernel", [] { return std::string(tessary::store::crc32c_name(tessary::store::crc32c_chosen())); },
          "The CRC-32C kernel crc32c uses by default (the portable one under TESSARY_SIMD=scalar).");
    m.def("scan_pickle", &tessary::store::scan_pickle_binding, "data"_a, "max_ops"_a,
          "Walks the opcodes of the pickle in `data`, stopping after max_ops: (status, opcodes, opcode); status 0 "
          "ok, 1 too many opcodes, 2 truncated, 3 bytes after the end, 4 unknown opcode.");
    m.def("uses_hardware", &tessary::store::crc32c_uses_hardware,
          "True when a processor instruction computes the checksums.");
}
