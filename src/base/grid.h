// Grids are row-pointer matrices (see LIB/NRUTIL.h). Core functions take a GridView, which
// carries the row pointers with the size that the matrix itself does not record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "LIB/NRUTIL.h"
#include "base/failure.h"

namespace terrapivoter {

template <class T>
struct GridView {
    T** rows = nullptr;
    int32_t nb_lig = 0;
    int32_t nb_col = 0;

    T* operator[](int32_t i) const { return rows[i]; }
    int64_t cells() const { return static_cast<int64_t>(nb_lig) * nb_col; }
    // Elements in a row, for sizes and offsets.
    std::size_t width() const { return static_cast<std::size_t>(nb_col); }
};

using DoubleGrid = GridView<double>;
using IntGrid = GridView<int32_t>;

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
// Rows are single blocks of the allocation family's allocator, as its release functions assume.
inline void release_grid_row(void* row) {
    std::free(row);
}

// Fails naming `displayed` unless the grid has at least one row and one column.
inline void check_grid_shape(int64_t nb_lig, int64_t nb_col, const std::string& displayed) {
    if (nb_lig <= 0 || nb_col <= 0) {
        throw Failure(displayed + ": the grid must have at least one row and one column, not " +
                      std::to_string(nb_lig) + " rows and " + std::to_string(nb_col) + " columns");
    }
}

// Whether cells `dx` wide and `dy` high are square, as far as their stored steps can tell: a
// step stored in single precision (0.0083333 for 1/120), or an extent stored instead of the step
// (the BT format), differs in its last digits. A relative 1e-7 lets those through and moves the
// far edge of a million cells by a tenth of a cell at most.
inline bool cells_are_square(double dx, double dy) {
    constexpr double kTolerance = 1e-7;
    return dx > 0.0 && dy > 0.0 && (dx - dy <= kTolerance * dx && dy - dx <= kTolerance * dx);
}

// Allocates a zero-filled grid or fails with the out-of-memory message.
template <class T>
GridView<T> require_grid(int32_t nb_lig, int32_t nb_col) {
    T** rows = allocate_grid(static_cast<T*>(nullptr), nb_col, nb_lig);
    if (rows == nullptr) throw Failure(out_of_memory_text(nb_lig, nb_col));
    return {rows, nb_lig, nb_col};
}

// Owns a grid: every grid a reader returns or a run holds. Rows may be released one by one
// while the grid is converted into another, so that the two are never whole at once.
template <class T>
class Matrix {
  public:
    Matrix() = default;
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
    bool empty() const { return view_.rows == nullptr; }
    int64_t cells() const { return view_.cells(); }

    // Releases row i early; the row must not be used again.
    void release_row(int32_t i) {
        release_grid_row(view_.rows[i]);
        view_.rows[i] = nullptr;
    }
    T* operator[](int32_t i) const { return view_[i]; }
    int32_t nb_lig() const { return view_.nb_lig; }
    int32_t nb_col() const { return view_.nb_col; }

  private:
    GridView<T> view_{};
};

}  // namespace terrapivoter
