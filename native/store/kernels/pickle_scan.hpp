// A walk over the opcodes of a pickle that counts them, without building anything.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::store {

enum class ScanStatus : int {
    ok = 0,         // the pickle ends with its STOP at the end of the buffer
    too_many = 1,   // more than max_ops opcodes: the walk stopped there
    truncated = 2,  // the buffer ends inside the pickle
    trailing = 3,   // bytes follow the STOP
    unknown = 4,    // not a pickle opcode
};

struct ScanResult {
    ScanStatus status;
    std::int64_t ops;  // opcodes walked
    int opcode;        // the opcode refused or unknown
};

/// Walks the opcodes of data[0, n) (protocols 0 to 5), stopping after max_ops.
ScanResult scan_pickle(const unsigned char *data, std::size_t n, std::int64_t max_ops);

}  // namespace tessary::store
