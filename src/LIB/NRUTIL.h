// Row-pointer matrices and plain vectors of every element type the program knows.
//
// A matrix is an array of NbLig row pointers, each row a separate zero-filled block of
// NbCol elements, addressed [row][column]. Allocators take the column count first.
//
// Every allocator returns null when memory runs out; whatever it had already obtained is
// released first, so a failed call leaks nothing. A count of 0 or less is refused the same
// way (null, nothing allocated): an empty grid has no use here, and calloc(0) is allowed to
// return either null or a unique pointer, which would make such grids behave differently
// from one C library to the next.
#pragma once

#include <cstdint>

namespace terrapivoter {

float** fmatrice(int32_t NbCol, int32_t NbLig);
void frfmatrice(float** Mat, int32_t NbLig);
uint8_t** ucmatrice(int32_t NbCol, int32_t NbLig);
void frucmatrice(uint8_t** Mat, int32_t NbLig);
uint16_t** usmatrice(int32_t NbCol, int32_t NbLig);
// Prints a trace line with the row count and waits for a key press (only when standard
// input is a terminal) before releasing.
void frusmatrice(uint16_t** Mat, int32_t NbLig);
int16_t** smatrice(int32_t NbCol, int32_t NbLig);
void frsmatrice(int16_t** Mat, int32_t NbLig);
int32_t** imatrice(int32_t NbCol, int32_t NbLig);
void frimatrice(int32_t** Mat, int32_t NbLig);
double** dmatrice(int32_t NbCol, int32_t NbLig);
void frdmatrice(double** Mat, int32_t NbLig);
long double** ldmatrice(int32_t NbCol, int32_t NbLig);
void frldmatrice(long double** Mat, int32_t NbLig);

uint8_t* ucvecteur(int32_t NbCol);
void frucvecteur(uint8_t* Mat);
uint16_t* usvecteur(int32_t NbCol);
void frusvecteur(uint16_t* Mat);
int16_t* svecteur(int32_t NbCol);
void frsvecteur(int16_t* Mat);
int32_t* ivecteur(int32_t NbCol);
void frivecteur(int32_t* Mat);
double* dvecteur(int32_t NbCol);
void frdvecteur(double* Mat);
float* fvecteur(int32_t NbCol);
void frfvecteur(float* Mat);

namespace nrutil_testing {
// Makes the allocation request after the next `successes` ones fail, once; a negative value
// switches the injected failure off. Lets tests reach the out-of-memory paths for real.
void fail_allocation_after(long successes);
}  // namespace nrutil_testing

}  // namespace terrapivoter
