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

static std::vector<unsigned char> noise(std::size_t n, unsigned seed) {
    std::vector<unsigned char> data(n);
    for (auto &b : data) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<unsigned char>(seed >> 16);
    }
    return data;
}

static void crc_paths_agree() {
    const std::vector<unsigned char> data = noise(3 * 8192 * 2 + 3 * 256 + 777, 7);
    const Crc32cKernel all[] = {Crc32cKernel::portable, Crc32cKernel::sse42, Crc32cKernel::clmul,
                                Crc32cKernel::vpclmul, Crc32cKernel::armv8};
    check(crc32c_available(crc32c_chosen()), "the chosen kernel runs here");
    for (Crc32cKernel kernel : all) {
        if (!crc32c_available(kernel)) continue;
        const std::string name = crc32c_name(kernel);
        check(crc32c_with(kernel, 0, reinterpret_cast<const unsigned char *>("123456789"), 9) == 0xE3069283u,
              (name + ": check value").c_str());
        for (std::size_t offset : {0u, 1u, 3u, 7u, 13u})
            for (std::size_t n : {0u, 1u, 9u, 15u, 16u, 63u, 64u, 255u, 256u, 257u, 511u, 512u, 639u, 640u, 767u,
                                  768u, 1000u, 4095u, 24575u, 24576u, 24577u, 49999u, 50001u}) {
                if (offset + n > data.size()) continue;
                const unsigned char *p = data.data() + offset;
                const std::uint32_t whole = crc32c_portable(0, p, n);
                check(crc32c_with(kernel, 0, p, n) == whole, (name + ": agrees with the portable code").c_str());
                check(crc32c_with(kernel, 0x12345678u, p, n) == crc32c_portable(0x12345678u, p, n),
                      (name + ": extends a given checksum").c_str());
                const std::size_t cut = n / 3;
                check(crc32c_with(kernel, crc32c_with(kernel, 0, p, cut), p + cut, n - cut) == whole,
                      (name + ": extending in two parts").c_str());
            }
    }
}

static void crc_in_parts() {
    const std::vector<unsigned char> data = noise((40u << 20) + 13, 11);
    const std::uint32_t whole = crc32c_extend(0, data.data(), data.size());
    for (unsigned threads : {1u, 2u, 3u, 4u})
        check(crc32c_parallel(0, data.data(), data.size(), threads) == whole, "threads give the same checksum");
    check(crc32c_parallel(5, data.data(), data.size(), 2) == crc32c_extend(5, data.data(), data.size()),
          "threads extend a given checksum");
    const std::uint32_t a = crc32c_extend(0, data.data(), 1000), b = crc32c_extend(0, data.data() + 1000, 777);
    check(crc32c_combine(a, b, 777) == crc32c_extend(0, data.data(), 1777), "combine of two parts");
    check(crc32c_combine(a, 0, 0) == a, "combine with nothing");
    // Spans of every size, empty ones and ones crossing the threads' shares among them.
    const std::size_t sizes[] = {0, 5u << 20, 1, 0, 3u << 20, (9u << 20) + 333, 4096, 7u << 20, 12345};
    std::vector<Crc32cSpan> spans;
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        spans.push_back({data.data() + at, size, static_cast<std::uint32_t>(at)});
        at += size;
    }
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
        std::vector<Crc32cSpan> out = spans;
        crc32c_spans(out.data(), out.size(), threads, crc32c_chosen());
        for (std::size_t i = 0; i < out.size(); ++i)
            check(out[i].crc == crc32c_extend(spans[i].crc, spans[i].data, spans[i].size),
                  ("each span's checksum on " + std::to_string(threads) + " threads").c_str());
    }
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
