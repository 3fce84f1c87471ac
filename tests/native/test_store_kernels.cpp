// Unit test of the store's kernels: CRC-32C with the processor instruction against the
// portable code and known values, over lengths and alignments that take every path of
// the interleaved loops; the opcode walk over pickles of each kind of ending.
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "store/kernels/crc32c.hpp"
#include "store/kernels/pickle_scan.hpp"

using namespace tessary::store;

static std::uint32_t crc_of(const std::string &s) {
    return crc32c_extend(0, reinterpret_cast<const unsigned char *>(s.data()), s.size());
}

static void crc_known_values() {
    check(crc_of("123456789") == 0xE3069283u, "check value of 123456789");
    check(crc_of("") == 0u, "empty input");
    check(crc_of(std::string(32, '\0')) == 0x8A9136AAu, "32 zero bytes");
    check(crc_of(std::string(32, '\xff')) == 0x62A8AB43u, "32 bytes of 0xff");
}

static void crc_paths_agree() {
    std::vector<unsigned char> data(3 * 8192 * 2 + 3 * 256 + 77);
    unsigned seed = 7;
    for (auto &b : data) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<unsigned char>(seed >> 16);
    }
    for (std::size_t offset : {0u, 1u, 3u, 7u})
        for (std::size_t n : {0u, 1u, 9u, 255u, 767u, 768u, 1000u, 24575u, 24576u, 24577u, 49999u}) {
            if (offset + n > data.size()) continue;
            const unsigned char *p = data.data() + offset;
            const std::uint32_t whole = crc32c_extend(0, p, n);
            check(whole == crc32c_portable(0, p, n), "instruction and portable code agree");
            const std::size_t cut = n / 3;
            check(crc32c_extend(crc32c_extend(0, p, cut), p + cut, n - cut) == whole, "extending in two parts");
        }
}

static void crc_in_parts() {
    std::vector<unsigned char> data((40u << 20) + 13);
    unsigned seed = 11;
    for (auto &b : data) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<unsigned char>(seed >> 16);
    }
    const std::uint32_t whole = crc32c_extend(0, data.data(), data.size());
    for (unsigned threads : {1u, 2u, 3u, 4u})
        check(crc32c_parallel(0, data.data(), data.size(), threads) == whole, "threads give the same checksum");
    check(crc32c_parallel(5, data.data(), data.size(), 2) == crc32c_extend(5, data.data(), data.size()),
          "threads extend a given checksum");
    const std::uint32_t a = crc32c_extend(0, data.data(), 1000), b = crc32c_extend(0, data.data() + 1000, 777);
    check(crc32c_combine(a, b, 777) == crc32c_extend(0, data.data(), 1777), "combine of two parts");
}

static ScanResult scan(const std::string &s, std::int64_t max_ops = 1000) {
    return scan_pickle(reinterpret_cast<const unsigned char *>(s.data()), s.size(), max_ops);
}

static void scan_statuses() {
    // {}: PROTO 5, EMPTY_DICT, STOP
    check(scan(std::string("\x80\x05}.", 4)).status == ScanStatus::ok, "empty dict");
    check(scan(std::string("\x80\x05}.", 4)).ops == 3, "three opcodes");
    check(scan(std::string("\x80\x05}", 3)).status == ScanStatus::truncated, "no STOP");
    check(scan(std::string("\x80\x05}.x", 5)).status == ScanStatus::trailing, "bytes after STOP");
    check(scan(std::string("\x80\x05X\xff\x00\x00\x00" "ab.", 10)).status == ScanStatus::truncated, "length past the end");
    check(scan(std::string("\x80\x05\xff.", 4)).status == ScanStatus::unknown, "unknown opcode");
    check(scan(std::string("cos\nsystem\n.", 12)).status == ScanStatus::ok, "GLOBAL is walked (the unpickler refuses it)");
    std::string bomb = "\x80\x05" + std::string(600, ']') + std::string(599, 'a') + ".";
    ScanResult r = scan(bomb, 1000);
    check(r.status == ScanStatus::too_many && r.ops == 1001, "stops at the first opcode past the limit");
}

int main() {
    crc_known_values();
    crc_paths_agree();
    crc_in_parts();
    scan_statuses();
    return finish();
}
