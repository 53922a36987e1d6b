// Grids are row-pointer matrices (see LIB/NRUTIL.h). Core functions take a GridView, which
// carries the row pointers with the size that the matrix itself does not record.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#include "LIB/NRUTIL.h"
#include "failure.h"

template <class T>
struct GridView {
    T** rows = nullptr;
    int32_t nb_lig = 0;
    int32_t nb_col = 0;

    T* operator[](int32_t i) const { return rows[i]; }
    int64_t cells() const { return static_cast<int64_t>(nb_lig) * nb_col; }
};

using DoubleGrid = GridView<double>;
using IntGrid = GridView<int32_t>;

// Bit-for-bit equality, so that -0.0 and 0.0 differ and equal NaN payloads match.
template <class T>
bool same_bits(GridView<T> a, GridView<T> b) {
    if (a.nb_lig != b.nb_lig || a.nb_col != b.nb_col) return false;
    for (int32_t i = 0; i < a.nb_lig; ++i) {
        if (std::memcmp(a[i], b[i], sizeof(T) * static_cast<std::size_t>(a.nb_col)) != 0) {
            return false;
        }
    }
    return true;
}

inline double** allocate_grid(double*, int32_t cols, int32_t rows) {
    return dmatrice(cols, rows);
}
inline int32_t** allocate_grid(int32_t*, int32_t cols, int32_t rows) {
    return imatrice(cols, rows);
}
inline void release_grid(double** m, int32_t rows) {
    frdmatrice(m, rows);
}
inline void release_grid(int32_t** m, int32_t rows) {
    frimatrice(m, rows);
}

// Allocates a zero-filled grid or fails with the out-of-memory message.
template <class T>
GridView<T> require_grid(int32_t nb_lig, int32_t nb_col) {
    T** rows = allocate_grid(static_cast<T*>(nullptr), nb_col, nb_lig);
    if (rows == nullptr) throw Failure(out_of_memory_text(nb_lig, nb_col));
    return {rows, nb_lig, nb_col};
}

// Owns a grid for code that releases what it allocates (tests, benchmarks, scratch grids).
template <class T>
class Matrix {
  public:
    Matrix(int32_t nb_lig, int32_t nb_col) : view_(require_grid<T>(nb_lig, nb_col)) {}
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;
    Matrix(Matrix&& other) noexcept : view_(std::exchange(other.view_, {})) {}
    Matrix& operator=(Matrix&& other) noexcept {
        std::swap(view_, other.view_);
        return *this;
    }
    ~Matrix() {
        if (view_.rows != nullptr) release_grid(view_.rows, view_.nb_lig);
    }

    GridView<T> view() const { return view_; }
    T* operator[](int32_t i) const { return view_[i]; }
    int32_t nb_lig() const { return view_.nb_lig; }
    int32_t nb_col() const { return view_.nb_col; }

  private:
    GridView<T> view_;
};
