#include "LIB/NRUTIL.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace terrapivoter {

namespace {

std::atomic<long> allocations_before_failure{-1};

void* zero_filled(int32_t count, std::size_t element_size) {
    long left = allocations_before_failure.load(std::memory_order_relaxed);
    if (left >= 0) {
        allocations_before_failure.store(left - 1, std::memory_order_relaxed);
        if (left == 0) return nullptr;
    }
    return std::calloc(static_cast<std::size_t>(count), element_size);
}

template <class T>
void release_matrix(T** mat, int32_t rows) {
    if (mat == nullptr) return;
    std::size_t released = 0;
    for (int32_t i = 0; i < rows; ++i) {
        if (mat[i] != nullptr) released += platform::heap_block_bytes(mat[i]);
        std::free(mat[i]);
    }
    std::free(mat);
    platform::return_free_memory(released);
}

template <class T>
T** make_matrix(int32_t cols, int32_t rows) {
    if (cols <= 0 || rows <= 0) return nullptr;
    auto** mat = static_cast<T**>(zero_filled(rows, sizeof(T*)));
    if (mat == nullptr) return nullptr;
    for (int32_t i = 0; i < rows; ++i) {
        mat[i] = static_cast<T*>(zero_filled(cols, sizeof(T)));
        if (mat[i] == nullptr) {
            release_matrix(mat, i);
            return nullptr;
        }
    }
    return mat;
}

template <class T>
T* make_vector(int32_t count) {
    if (count <= 0) return nullptr;
    return static_cast<T*>(zero_filled(count, sizeof(T)));
}

}  // namespace

namespace nrutil_testing {
void fail_allocation_after(long successes) {
    allocations_before_failure.store(successes, std::memory_order_relaxed);
}
}  // namespace nrutil_testing

float** fmatrice(int32_t NbCol, int32_t NbLig) {
    return make_matrix<float>(NbCol, NbLig);
}
void frfmatrice(float** Mat, int32_t NbLig) {
    release_matrix(Mat, NbLig);
}
uint8_t** ucmatrice(int32_t NbCol, int32_t NbLig) {
    return make_matrix<uint8_t>(NbCol, NbLig);
}
void frucmatrice(uint8_t** Mat, int32_t NbLig) {
    release_matrix(Mat, NbLig);
}
uint16_t** usmatrice(int32_t NbCol, int32_t NbLig) {
    return make_matrix<uint16_t>(NbCol, NbLig);
}
void frusmatrice(uint16_t** Mat, int32_t NbLig) {
    std::printf("\n NbLig en frusmatrice %d ", static_cast<int>(NbLig));
    std::fflush(stdout);
    platform::wait_for_key();
    release_matrix(Mat, NbLig);
}
int16_t** smatrice(int32_t NbCol, int32_t NbLig) {
    return make_matrix<int16_t>(NbCol, NbLig);
}
void frsmatrice(int16_t** Mat, int32_t NbLig) {
    release_matrix(Mat, NbLig);
}
int32_t** imatrice(int32_t NbCol, int32_t NbLig) {
    return make_matrix<int32_t>(NbCol, NbLig);
}
void frimatrice(int32_t** Mat, int32_t NbLig) {
    release_matrix(Mat, NbLig);
}
double** dmatrice(int32_t NbCol, int32_t NbLig) {
    return make_matrix<double>(NbCol, NbLig);
}
void frdmatrice(double** Mat, int32_t NbLig) {
    release_matrix(Mat, NbLig);
}
long double** ldmatrice(int32_t NbCol, int32_t NbLig) {
    return make_matrix<long double>(NbCol, NbLig);
}
void frldmatrice(long double** Mat, int32_t NbLig) {
    release_matrix(Mat, NbLig);
}

uint8_t* ucvecteur(int32_t NbCol) {
    return make_vector<uint8_t>(NbCol);
}
void frucvecteur(uint8_t* Mat) {
    std::free(Mat);
}
uint16_t* usvecteur(int32_t NbCol) {
    return make_vector<uint16_t>(NbCol);
}
void frusvecteur(uint16_t* Mat) {
    std::free(Mat);
}
int16_t* svecteur(int32_t NbCol) {
    return make_vector<int16_t>(NbCol);
}
void frsvecteur(int16_t* Mat) {
    std::free(Mat);
}
int32_t* ivecteur(int32_t NbCol) {
    return make_vector<int32_t>(NbCol);
}
void frivecteur(int32_t* Mat) {
    std::free(Mat);
}
double* dvecteur(int32_t NbCol) {
    return make_vector<double>(NbCol);
}
void frdvecteur(double* Mat) {
    std::free(Mat);
}
float* fvecteur(int32_t NbCol) {
    return make_vector<float>(NbCol);
}
void frfvecteur(float* Mat) {
    std::free(Mat);
}

}  // namespace terrapivoter
