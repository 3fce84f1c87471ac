// The opcode walk of pickle_scan.hpp: each opcode's argument is skipped by its layout
// (none, fixed bytes, a length and that many bytes, or a line).
#include "store/kernels/pickle_scan.hpp"

#include <array>
#include <cstring>

namespace tessary::store {
namespace {

enum Layout : unsigned char { UNKNOWN, NONE, FIXED1, FIXED2, FIXED4, FIXED8, SIZED1, SIZED4, SIZED8, LINE, LINE2 };

constexpr std::array<unsigned char, 256> make_layouts() {
    std::array<unsigned char, 256> t{};
    auto set = [&t](const char *ops, Layout layout) {
        for (const char *p = ops; *p; ++p) t[static_cast<unsigned char>(*p)] = layout;
    };
    // The opcodes of classes, code and out-of-band data are walked like the others:
    // the unpickler refuses them, naming what they refer to.
    set("(.012N\x88\x89]ael)t\x85\x86\x87}dsu\x8f\x90\x91\x94\x93o\x81\x92RbQ\x97\x98", NONE);
    set("Khq\x80\x82", FIXED1);
    set("M\x83", FIXED2);
    set("Jjr\x84", FIXED4);
    set("G\x95", FIXED8);
    set("UC\x8c\x8a", SIZED1);
    set("TXB\x8b", SIZED4);
    set("\x8d\x8e\x96", SIZED8);
    set("ILSVFgpP", LINE);
    set("ci", LINE2);
    return t;
}

constexpr std::array<unsigned char, 256> LAYOUTS = make_layouts();

std::uint64_t little_endian(const unsigned char *p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

ScanResult scan_pickle(const unsigned char *data, std::size_t n, std::int64_t max_ops) {
    std::size_t pos = 0;
    std::int64_t ops = 0;
    while (pos < n) {
        const unsigned char op = data[pos++];
        if (++ops > max_ops) return {ScanStatus::too_many, ops, op};
        std::size_t skip = 0;
        switch (LAYOUTS[op]) {
            case NONE:
                if (op == '.') return {pos == n ? ScanStatus::ok : ScanStatus::trailing, ops, op};
                break;
            case FIXED1: skip = 1; break;
            case FIXED2: skip = 2; break;
            case FIXED4: skip = 4; break;
            case FIXED8: skip = 8; break;
            case SIZED1:
            case SIZED4:
            case SIZED8: {
                const int bytes = LAYOUTS[op] == SIZED1 ? 1 : LAYOUTS[op] == SIZED4 ? 4 : 8;
                if (n - pos < static_cast<std::size_t>(bytes)) return {ScanStatus::truncated, ops, op};
                const std::uint64_t length = little_endian(data + pos, bytes);
                pos += bytes;
                if (length > n - pos) return {ScanStatus::truncated, ops, op};
                skip = static_cast<std::size_t>(length);
                break;
            }
            case LINE:
            case LINE2: {
                std::size_t at = pos;
                for (int line = LAYOUTS[op] == LINE2 ? 2 : 1; line > 0; --line) {
                    const void *nl = std::memchr(data + at, '\n', n - at);
                    if (!nl) return {ScanStatus::truncated, ops, op};
                    at = static_cast<std::size_t>(static_cast<const unsigned char *>(nl) - data) + 1;
                }
                skip = at - pos;
                break;
            }
            default: return {ScanStatus::unknown, ops, op};
        }
        if (skip > n - pos) return {ScanStatus::truncated, ops, op};
        pos += skip;
    }
    return {ScanStatus::truncated, ops, 0};
}

}  // namespace tessary::store
