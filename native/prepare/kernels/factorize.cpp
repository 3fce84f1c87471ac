// Factorisation kernels: open-addressing hash tables keyed by byte strings or
// integers, with a shortcut for runs of equal consecutive values (long answers are
// usually ordered by date, so dates come in long runs).
#include "prepare/kernels/factorize.hpp"

#include <cstring>
#include <limits>
#include <string_view>

namespace tessary::kernels {

namespace {

inline std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

inline std::uint64_t hash_bytes(const char *p, std::size_t n) {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ (n * 0x100000001b3ULL);
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ULL;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    if (n > 0) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * 0x9E3779B97F4A7C15ULL;
    }
    return mix(h);
}

/// Open addressing, linear probing, power-of-two capacity, load factor <= 1/2.
/// Keys live outside the table; `equal(id)` compares the probed id with the key.
class IdTable {
public:
    IdTable() { resize(1024); }

    template <class Equal>
    std::int32_t find(std::uint64_t h, Equal equal) const {
        std::size_t i = h & mask_;
        for (;;) {
            std::int32_t id = slots_[i];
            if (id < 0) return -1;
            if (hashes_[(std::size_t)id] == h && equal(id)) return id;
            i = (i + 1) & mask_;
        }
    }

    /// Registers a new id with hash h (the caller has checked it is absent).
    std::int32_t insert(std::uint64_t h) {
        const std::int32_t id = (std::int32_t)hashes_.size();
        hashes_.push_back(h);
        if (hashes_.size() * 2 > slots_.size()) {
            resize(slots_.size() * 2);
        } else {
            place(id);
        }
        return id;
    }

private:
    std::vector<std::int32_t> slots_;
    std::vector<std::uint64_t> hashes_;
    std::size_t mask_ = 0;

    void place(std::int32_t id) {
        std::size_t i = hashes_[(std::size_t)id] & mask_;
        while (slots_[i] >= 0) i = (i + 1) & mask_;
        slots_[i] = id;
    }
    void resize(std::size_t capacity) {
        slots_.assign(capacity, -1);
        mask_ = capacity - 1;
        for (std::size_t id = 0; id < hashes_.size(); ++id) place((std::int32_t)id);
    }
};

}  // namespace

namespace {

/// Ids 0, 1, 2, ... of distinct keys in the order they first appear, of type T; the
/// row where each first appeared goes to `first`. A key equal to the previous one,
/// or equal to the key of the id after the previous one, is found without hashing:
/// answers sorted by date then code (or code then date) repeat the order in which
/// the values first appeared.
template <class T, class Key>
class Ids {
public:
    explicit Ids(std::vector<std::int64_t> &first) : first_(first) { first_.clear(); }

    /// The id of `key`, seen at `row`; -1 when T has no id left for a new key.
    /// `hash(key)` is called only when the table is searched.
    template <class Hash>
    T of(const Key &key, std::int64_t row, Hash hash) {
        if (prev_id_ >= 0 && key == prev_) return prev_id_;
        const std::size_t next = (std::size_t)(prev_id_ + 1);
        std::int32_t id;
        if (next < keys_.size() && keys_[next] == key) {
            id = (std::int32_t)next;
        } else {
            const std::uint64_t h = hash(key);
            id = table_.find(h, [&](std::int32_t i) { return keys_[(std::size_t)i] == key; });
            if (id < 0) {
                if (keys_.size() == kMaxIds) return -1;
                id = table_.insert(h);
                keys_.push_back(key);
                first_.push_back(row);
            }
        }
        prev_ = key;
        prev_id_ = (T)id;
        return prev_id_;
    }

private:
    static constexpr std::size_t kMaxIds = (std::size_t)std::numeric_limits<T>::max() + 1;
    IdTable table_;
    std::vector<Key> keys_;
    std::vector<std::int64_t> &first_;
    Key prev_{};
    T prev_id_ = -1;
};

template <class T>
FactorizeStatus strings_as(const std::vector<StringChunk> &chunks, T *codes, std::vector<std::int64_t> &first) {
    Ids<T, std::string_view> ids(first);
    auto hash = [](std::string_view s) { return hash_bytes(s.data(), s.size()); };
    std::int64_t row = 0;
    for (const StringChunk &c : chunks) {
        const auto *off32 = static_cast<const std::int32_t *>(c.offsets);
        const auto *off64 = static_cast<const std::int64_t *>(c.offsets);
        for (std::int64_t k = 0; k < c.length; ++k, ++row) {
            const std::int64_t e = c.offset + k;
            if (c.validity && !((c.validity[e >> 3] >> (e & 7)) & 1)) {
                codes[row] = -1;
                continue;
            }
            const std::int64_t b = c.large_offsets ? off64[e] : off32[e];
            const std::int64_t end = c.large_offsets ? off64[e + 1] : off32[e + 1];
            if (b < 0 || end < b || end > c.data_size) return FactorizeStatus::BadOffsets;
            codes[row] = ids.of(std::string_view(c.data + b, (std::size_t)(end - b)), row, hash);
            if (codes[row] < 0) return FactorizeStatus::TooManyIds;
        }
    }
    return FactorizeStatus::Ok;
}

template <class T>
FactorizeStatus int64_as(const std::int64_t *values, std::size_t n, bool has_missing, std::int64_t missing, T *codes,
                         std::vector<std::int64_t> &first) {
    Ids<T, std::int64_t> ids(first);
    auto hash = [](std::int64_t v) { return mix((std::uint64_t)v ^ 0x9E3779B97F4A7C15ULL); };
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t v = values[i];
        if (has_missing && v == missing) {
            codes[i] = -1;
            continue;
        }
        codes[i] = ids.of(v, (std::int64_t)i, hash);
        if (codes[i] < 0) return FactorizeStatus::TooManyIds;
    }
    return FactorizeStatus::Ok;
}

}  // namespace

FactorizeStatus factorize_strings(const std::vector<StringChunk> &chunks, void *codes, int code_width,
                                  std::vector<std::int64_t> &first) {
    if (code_width == 2) return strings_as(chunks, static_cast<std::int16_t *>(codes), first);
    return strings_as(chunks, static_cast<std::int32_t *>(codes), first);
}

FactorizeStatus factorize_int64(const std::int64_t *values, std::size_t n, bool has_missing, std::int64_t missing,
                                void *codes, int code_width, std::vector<std::int64_t> &first) {
    if (code_width == 2) return int64_as(values, n, has_missing, missing, static_cast<std::int16_t *>(codes), first);
    return int64_as(values, n, has_missing, missing, static_cast<std::int32_t *>(codes), first);
}

bool first_positions(const std::int32_t *codes, std::size_t n, std::size_t n_ids, std::vector<std::int64_t> &first) {
    first.assign(n_ids, -1);
    std::size_t seen = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t c = codes[i];
        if (c < 0) {
            if (c != -1) return false;
            continue;
        }
        if ((std::size_t)c >= n_ids) return false;
        if (first[(std::size_t)c] < 0) {
            first[(std::size_t)c] = (std::int64_t)i;
            ++seen;
        }
    }
    return seen == n_ids;
}

}  // namespace tessary::kernels
