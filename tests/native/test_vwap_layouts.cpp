// Unit test of the VWAP kernel on mixed memory layouts: each of the nine inputs in
// turn, and random mixes of all nine, laid out row-major, column-major, strided (no
// unit stride), with reversed columns (a negative stride), or row-major in a
// read-only memory map (a write into it would fault). Every supported vector width
// must give the scalar step's results bit for bit.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "vwap_inputs_of.hpp"
#include "common/daystep/vwap.hpp"

using namespace tessary::kernels;

namespace {

constexpr int kInputs = 9;  // signal, prev close, close, buy, sell, split, dividend, can buy, cannot sell
constexpr char kLayouts[] = "CFSNM";  // row-major, column-major, strided, negative stride, mapped

/// One input matrix in every layout: value (i, s) is the same in each.
template <class T>
struct Laid {
    std::vector<T> rows, cols, strided, reversed;
    const T *mapped = nullptr;  // row-major, in the read-only map

    Laid(const std::vector<T> &row_major, std::size_t days, std::size_t stocks) : rows(row_major) {
        cols.resize(days * stocks);
        strided.resize(2 * days * stocks);
        reversed.resize(days * stocks);
        for (std::size_t i = 0; i < days; ++i)
            for (std::size_t s = 0; s < stocks; ++s) {
                const T v = row_major[i * stocks + s];
                cols[s * days + i] = v;
                strided[2 * (s * days + i)] = v;  // every other element of a column-major buffer
                reversed[i * stocks + (stocks - 1 - s)] = v;
            }
    }

    View2D<T> view(char layout, std::size_t days, std::size_t stocks) const {
        const auto d = (std::ptrdiff_t)days, n = (std::ptrdiff_t)stocks;
        switch (layout) {
            case 'C': return {rows.data(), n, 1};
            case 'F': return {cols.data(), 1, d};
            case 'S': return {strided.data(), 2, 2 * d};
            case 'N': return {reversed.data() + (n - 1), n, -1};
            default: return {mapped, n, 1};
        }
    }
};

/// A read-only private map of `bytes` bytes holding `data`.
const void *map_read_only(const void *data, std::size_t bytes) {
    char name[] = "/tmp/vwap_layoutsXXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return nullptr;
    unlink(name);
    bool ok = write(fd, data, bytes) == (ssize_t)bytes;
    void *p = ok ? mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    close(fd);
    return p == MAP_FAILED ? nullptr : p;
}

struct Market {
    std::size_t days, stocks;
    std::vector<Laid<double>> floats;        // 7
    std::vector<Laid<std::uint8_t>> flags;  // 2

    /// With `special`, infinite and astronomically large weights and infinite prices
    /// too (they make many days' sums NaN or infinite, which hides errors in the
    /// other stocks of those days; so both kinds of market are tested).
    Market(std::size_t d, std::size_t n, unsigned seed, bool special = true) : days(d), stocks(n) {
        const std::size_t cells = d * n;
        std::vector<double> m[7];
        std::vector<std::uint8_t> b[2];
        vwap_test::harsh_cells(cells, seed, special, true, m, b);  // any nonzero byte is True
        for (auto &v : m) floats.emplace_back(v, d, n);
        for (auto &v : b) flags.emplace_back(v, d, n);
        // All nine row-major copies in one read-only map.
        std::vector<char> image;
        for (auto &v : m) image.insert(image.end(), (char *)v.data(), (char *)(v.data() + cells));
        for (auto &v : b) image.insert(image.end(), (char *)v.data(), (char *)(v.data() + cells));
        const char *map = (const char *)map_read_only(image.data(), image.size());
        check(map != nullptr, "read-only map of the market");
        for (int k = 0; k < 7; ++k) floats[k].mapped = map ? (const double *)(map + k * cells * 8) : m[k].data();
        for (int k = 0; k < 2; ++k)
            flags[k].mapped = map ? (const std::uint8_t *)(map + 7 * cells * 8 + k * cells) : flags[k].rows.data();
    }

    /// The kernel's inputs, input k laid out as `layouts[k]`.
    VwapInputs inputs(const std::string &layouts) const {
        VwapInputs in;
        in.days = days;
        in.stocks = stocks;
        FloatView *views[7] = {&in.signal, &in.prev_close, &in.close, &in.buy_price, &in.sell_price, &in.split,
                               &in.dividend};
        for (int k = 0; k < 7; ++k) *views[k] = floats[k].view(layouts[k], days, stocks);
        in.can_buy = flags[0].view(layouts[7], days, stocks);
        in.cant_sell = flags[1].view(layouts[8], days, stocks);
        return in;
    }

    std::vector<double> run(const std::string &layouts, int lanes, double money, double lot) const {
        VwapInputs in = inputs(layouts);
        in.total_money = money;
        in.lot_size = lot;
        std::vector<double> out(days), scratch(vwap_scratch_size(days));
        vwap_daily_cash(in, out.data(), scratch.data(), lanes);
        return out;
    }
};

/// True when every day's result is finite (so that no day hides another's error).
bool all_finite(const std::vector<double> &v) {
    for (double x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

std::vector<int> widths() {
    std::vector<int> w{1};
    for (int lanes : {4, 8})
        if (vwap_lanes_supported(lanes)) w.push_back(lanes);
    return w;
}

/// Every width on `layouts` against the scalar step on all-column-major inputs.
void expect_scalar(const Market &m, const std::string &layouts, double money, double lot) {
    const std::vector<double> scalar = m.run("FFFFFFFFF", 1, money, lot);
    for (int lanes : widths()) {
        char what[160];
        std::snprintf(what, sizeof what, "%zu x %zu, layouts %s, %d lanes, money %g, lot %g: the scalar step's bits",
                      m.days, m.stocks, layouts.c_str(), lanes, money, lot);
        check(same_bits(m.run(layouts, lanes, money, lot), scalar), what);
    }
}

// Each input alone in each layout, the others all column-major or all row-major:
// catches an input read in the wrong order or at the wrong stride.
void one_input_at_a_time() {
    const std::pair<std::size_t, std::size_t> shapes[] = {{1, 70}, {9, 70}, {37, 130}, {70, 1100}};
    for (auto [days, stocks] : shapes)
        for (bool special : {false, true}) {
            const Market m(days, stocks, 99 + (unsigned)(days * stocks), special);
            if (!special) check(all_finite(m.run("FFFFFFFFF", 1, 1e7, 100.0)), "the plain market's days are finite");
            for (char base : {'F', 'C', 'S'})
                for (int k = 0; k < kInputs; ++k)
                    for (const char *l = kLayouts; *l; ++l) {
                        std::string layouts(kInputs, base);
                        layouts[k] = *l;
                        expect_scalar(m, layouts, 1e7, 100.0);
                    }
        }
}

// Random mixes of all five layouts, also with capitals and lots outside the vector
// passes' range (which take the scalar step).
void random_mixes() {
    unsigned seed = 2024;
    auto pick = [&seed] { seed = seed * 1103515245u + 12345u; return (seed >> 8) % 5; };
    const std::pair<std::size_t, std::size_t> shapes[] = {{16, 64}, {23, 517}, {130, 77}};
    for (auto [days, stocks] : shapes) {
        const Market m(days, stocks, 7 + (unsigned)days, days % 2 == 0);
        for (int trial = 0; trial < 24; ++trial) {
            std::string layouts(kInputs, 'F');
            for (char &c : layouts) c = kLayouts[pick()];
            expect_scalar(m, layouts, 1e7, 100.0);
            if (trial % 6 == 0) {
                expect_scalar(m, layouts, 1e20, 1.0);  // targets beyond 2^53 shares
                expect_scalar(m, layouts, -1e7, 100.0);
            }
        }
    }
}

}  // namespace

int main() {
    one_input_at_a_time();
    random_mixes();
    return finish();
}
