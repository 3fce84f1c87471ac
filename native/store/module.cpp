// tessary.store._checksum: the store's checksum over any contiguous buffer (bytes, a
// memory map, a numpy array) and the bounded walk over a metadata pickle, both with the
// GIL released.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdint>
#include <thread>

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

std::uint32_t crc32c_binding(nb::handle data, std::uint32_t crc, bool portable, unsigned threads) {
    Bytes bytes(data);
    nb::gil_scoped_release release;
    if (portable) return crc32c_portable(crc, bytes.data(), bytes.size());
    if (threads == 0) threads = std::min(4u, std::max(1u, std::thread::hardware_concurrency()));
    return crc32c_parallel(crc, bytes.data(), bytes.size(), threads);
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
          "CRC-32C of the bytes of `data` appended to those whose CRC-32C is `crc` (0: none); "
          "`portable` forces the table-driven code instead of the processor instruction; a large buffer is "
          "hashed in parts on up to `threads` threads (0: the cores, at most 4).");
    m.def("scan_pickle", &tessary::store::scan_pickle_binding, "data"_a, "max_ops"_a,
          "Walks the opcodes of the pickle in `data`, stopping after max_ops: (status, opcodes, opcode); status 0 "
          "ok, 1 too many opcodes, 2 truncated, 3 bytes after the end, 4 unknown opcode.");
    m.def("uses_hardware", &tessary::store::crc32c_uses_hardware,
          "True when the processor's CRC32 instruction computes the checksums.");
}
