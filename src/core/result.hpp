// Values that cross between kernels and the binding layer: errors as values,
// owned result buffers and read-only array views. No Python in here, so kernels
// can include it and stay testable on their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ms {

enum class ErrKind { Value, Type, Overflow, Pending };

// A pending exception: only the call entry turns it into a Python exception.
struct Err {
    ErrKind kind;
    std::string msg;
};

inline Err value_error(std::string m) { return Err{ErrKind::Value, std::move(m)}; }
inline Err type_error(std::string m) { return Err{ErrKind::Type, std::move(m)}; }
inline Err overflow_error(std::string m) { return Err{ErrKind::Overflow, std::move(m)}; }
// The Python error indicator is already set (a conversion the interpreter did).
inline Err pending_error() { return Err{ErrKind::Pending, {}}; }

template <class T>
class [[nodiscard]] Result {
public:
    Result(T v) : v_(std::in_place_index<0>, std::move(v)) {}
    Result(Err e) : v_(std::in_place_index<1>, std::move(e)) {}
    bool ok() const noexcept { return v_.index() == 0; }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    Err& error() & { return std::get<1>(v_); }
    Err&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, Err> v_;
};

// Unwraps a Result or returns its error from the enclosing function.
#define MS_TRY(var, expr)                                             \
    auto var##_result_ = (expr);                                      \
    if (!var##_result_.ok()) return std::move(var##_result_).error(); \
    auto var = std::move(var##_result_).value()

// An owned, uninitialised-by-default buffer of trivially copyable values. A
// result array takes it over without a copy. Sizes whose byte count
// overflows, and failed allocations, throw std::bad_alloc (MemoryError).
template <class T>
class Buf {
public:
    Buf() = default;
    explicit Buf(size_t n) { alloc(n); }
    Buf(size_t n, T fill) {
        alloc(n);
        for (size_t i = 0; i < n; ++i) p_[i] = fill;
    }
    static Buf zeros(size_t n) {
        Buf b;
        b.alloc(n);
        if (n) std::memset(static_cast<void*>(b.p_), 0, n * sizeof(T));
        return b;
    }
    static Buf from(std::span<const T> s) {
        Buf b(s.size());
        if (!s.empty()) std::memcpy(static_cast<void*>(b.p_), s.data(), s.size() * sizeof(T));
        return b;
    }
    Buf(const Buf&) = delete;
    Buf& operator=(const Buf&) = delete;
    Buf(Buf&& o) noexcept : p_(o.p_), n_(o.n_), cap_(o.cap_) {
        o.p_ = nullptr;
        o.n_ = o.cap_ = 0;
    }
    Buf& operator=(Buf&& o) noexcept {
        if (this != &o) {
            std::free(p_);
            p_ = o.p_;
            n_ = o.n_;
            cap_ = o.cap_;
            o.p_ = nullptr;
            o.n_ = o.cap_ = 0;
        }
        return *this;
    }
    ~Buf() { std::free(p_); }

    T* data() noexcept { return p_; }
    const T* data() const noexcept { return p_; }
    size_t size() const noexcept { return n_; }
    size_t capacity() const noexcept { return cap_; }
    bool empty() const noexcept { return n_ == 0; }
    T& operator[](size_t i) noexcept { return p_[i]; }
    const T& operator[](size_t i) const noexcept { return p_[i]; }
    T* begin() noexcept { return p_; }
    T* end() noexcept { return p_ + n_; }
    const T* begin() const noexcept { return p_; }
    const T* end() const noexcept { return p_ + n_; }
    std::span<T> span() noexcept { return {p_, n_}; }
    std::span<const T> span() const noexcept { return {p_, n_}; }

    void reserve(size_t cap) {
        if (cap <= cap_) return;
        if (cap > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* q = std::realloc(p_, cap * sizeof(T));
        if (!q) throw std::bad_alloc();
        p_ = static_cast<T*>(q);
        cap_ = cap;
    }
    void push_back(T v) {
        if (n_ == cap_) reserve(cap_ ? cap_ * 2 : 8);
        p_[n_++] = v;
    }
    void resize(size_t n) {  // new elements are left uninitialised
        reserve(n);
        n_ = n;
    }
    // Hands the allocation to a new owner (the result array's container).
    T* release() noexcept {
        T* q = p_;
        p_ = nullptr;
        n_ = cap_ = 0;
        return q;
    }

private:
    // Large buffers ask for transparent huge pages, as NumPy does: far fewer
    // page faults when a fresh block is first written.
    static void advise_huge([[maybe_unused]] void* p, [[maybe_unused]] size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
        constexpr uintptr_t huge = uintptr_t{1} << 21;
        if (bytes < (size_t{4} << 20)) return;
        uintptr_t a = (reinterpret_cast<uintptr_t>(p) + huge - 1) & ~(huge - 1);
        uintptr_t b = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(huge - 1);
        if (b > a) madvise(reinterpret_cast<void*>(a), b - a, MADV_HUGEPAGE);
#endif
    }
    void alloc(size_t n) {
        if (n == 0) return;
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        p_ = static_cast<T*>(std::malloc(n * sizeof(T)));
        if (!p_) throw std::bad_alloc();
        advise_huge(p_, n * sizeof(T));
        n_ = cap_ = n;
    }
    T* p_ = nullptr;
    size_t n_ = 0;
    size_t cap_ = 0;
};

// Read-only strided views of caller arrays (strides in bytes, may be negative).
struct View1 {
    const char* data = nullptr;
    size_t n = 0;
    ptrdiff_t stride = 8;
    double operator[](size_t i) const noexcept {
        double v;
        std::memcpy(&v, data + static_cast<ptrdiff_t>(i) * stride, sizeof v);
        return v;
    }
    bool contiguous() const noexcept { return n <= 1 || stride == 8; }
    std::span<const double> span() const noexcept { return {reinterpret_cast<const double*>(data), n}; }
};

struct View2 {
    const char* data = nullptr;
    size_t rows = 0, cols = 0;
    ptrdiff_t rstride = 0, cstride = 0;
    bool c_contiguous = false, f_contiguous = false;
    double operator()(size_t i, size_t j) const noexcept {
        double v;
        std::memcpy(&v, data + static_cast<ptrdiff_t>(i) * rstride + static_cast<ptrdiff_t>(j) * cstride,
                    sizeof v);
        return v;
    }
};

struct ViewN {
    const char* data = nullptr;
    std::vector<size_t> shape;
    std::vector<ptrdiff_t> strides;
    bool c_contiguous = false, f_contiguous = false;
    size_t ndim() const noexcept { return shape.size(); }
};

// A 2-D float64 or float32 array where it lies, whatever its strides.
struct MatView {
    const char* data = nullptr;
    size_t rows = 0, cols = 0;
    ptrdiff_t rstride = 0, cstride = 0;
    bool f32 = false, c_contiguous = false;

    template <class T>
    T load(size_t r, size_t c) const noexcept {
        T v;
        // the data may be unaligned
        std::memcpy(&v, data + static_cast<ptrdiff_t>(r) * rstride + static_cast<ptrdiff_t>(c) * cstride,
                    sizeof v);
        return v;
    }
    double at(size_t r, size_t c) const noexcept { return f32 ? load<float>(r, c) : load<double>(r, c); }
};

// A row-major float64 copy of a 2-D float64 or float32 array; the kernels
// read the copy, never the caller's array.
struct MatF64 {
    Buf<double> v;
    size_t rows = 0, cols = 0;
};

// A flat contiguous slice of a 1-D float64 argument. The frame checks the
// contiguity after all arguments are converted, before the body runs.
using Slice = std::span<const double>;

}  // namespace ms
