#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "LIB/NRUTIL.h"
#include "base/grid.h"
#include "io/memory_budget.h"
#include "io/memory_ledger.h"
#include "support.h"

using namespace terrapivoter;

namespace {

template <class T>
bool all_zero_bytes(const T* p, int count) {
    static const unsigned char zeros[64] = {};
    for (int k = 0; k < count; ++k) {
        if (std::memcmp(p + k, zeros, sizeof(T)) != 0) return false;
    }
    return true;
}

template <class T>
void check_matrix(T** (*make)(int32_t, int32_t), void (*release)(T**, int32_t)) {
    constexpr int32_t cols = 7, rows = 5;
    T** m = make(cols, rows);
    ASSERT_NE(m, nullptr);
    for (int32_t i = 0; i < rows; ++i) {
        ASSERT_NE(m[i], nullptr);
        EXPECT_TRUE(all_zero_bytes(m[i], cols)) << "row " << i;
        // Rows are separate blocks: writing the whole of one leaves its neighbours alone.
        for (int32_t j = 0; j < cols; ++j)
            m[i][j] = static_cast<T>(i + 1);
    }
    for (int32_t i = 0; i < rows; ++i)
        EXPECT_EQ(m[i][cols - 1], static_cast<T>(i + 1));
    release(m, rows);
}

template <class T>
void check_vector(T* (*make)(int32_t), void (*release)(T*)) {
    T* v = make(9);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(all_zero_bytes(v, 9));
    release(v);
}

TEST(Allocation, EveryMatrixTypeIsZeroFilledWithSeparateRows) {
    check_matrix(fmatrice, frfmatrice);
    check_matrix(ucmatrice, frucmatrice);
    check_matrix(smatrice, frsmatrice);
    check_matrix(imatrice, frimatrice);
    check_matrix(dmatrice, frdmatrice);
    check_matrix(ldmatrice, frldmatrice);
    // frusmatrice traces and may wait for a key; its own test is below.
    check_matrix(
        usmatrice, +[](uint16_t** m, int32_t rows) {
            for (int32_t i = 0; i < rows; ++i)
                std::free(m[i]);
            std::free(m);
        });
}

TEST(Allocation, EveryVectorTypeIsZeroFilled) {
    check_vector(ucvecteur, frucvecteur);
    check_vector(usvecteur, frusvecteur);
    check_vector(svecteur, frsvecteur);
    check_vector(ivecteur, frivecteur);
    check_vector(dvecteur, frdvecteur);
    check_vector(fvecteur, frfvecteur);
}

TEST(Allocation, FloatingElementsStartAsPositiveZero) {
    double** m = dmatrice(3, 2);
    ASSERT_NE(m, nullptr);
    EXPECT_FALSE(std::signbit(m[1][2]));
    EXPECT_EQ(m[1][2], 0.0);
    frdmatrice(m, 2);
}

TEST(Allocation, ColumnsComeFirst) {
    // dmatrice(3, 2): two rows of three.
    double** m = dmatrice(3, 2);
    ASSERT_NE(m, nullptr);
    m[1][2] = 4.5;
    m[0][2] = 1.5;
    EXPECT_EQ(m[1][2], 4.5);
    EXPECT_EQ(m[0][2], 1.5);
    frdmatrice(m, 2);
}

TEST(Allocation, CountsOfZeroOrLessGiveNull) {
    for (int32_t bad : {0, -1, INT32_MIN}) {
        EXPECT_EQ(dmatrice(bad, 3), nullptr) << bad;
        EXPECT_EQ(dmatrice(3, bad), nullptr) << bad;
        EXPECT_EQ(imatrice(bad, bad), nullptr) << bad;
        EXPECT_EQ(dvecteur(bad), nullptr) << bad;
        EXPECT_EQ(ivecteur(bad), nullptr) << bad;
    }
}

TEST(Allocation, AFailedRequestGivesNullAndLeaksNothing) {
    // Request 0 is the row-pointer array, requests 1 and 2 the first rows. The leak checker of
    // the sanitizer build fails the run if anything obtained before the failure stays allocated.
    for (long successes : {0L, 1L, 3L}) {
        nrutil_testing::fail_allocation_after(successes);
        EXPECT_EQ(dmatrice(4, 5), nullptr) << successes;
        nrutil_testing::fail_allocation_after(successes);
        EXPECT_EQ(imatrice(4, 5), nullptr) << successes;
    }
    nrutil_testing::fail_allocation_after(0);
    EXPECT_EQ(dvecteur(4), nullptr);
    nrutil_testing::fail_allocation_after(-1);
    double** m = dmatrice(4, 5);
    EXPECT_NE(m, nullptr);
    frdmatrice(m, 5);
}

TEST(Allocation, UnsignedShortReleaseTracesTheRowCount) {
    uint16_t** m = usmatrice(2, 4);
    ASSERT_NE(m, nullptr);
    testing::internal::CaptureStdout();
    frusmatrice(m, 4);  // standard input is not a terminal under the test runner: no wait
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n NbLig en frusmatrice 4 ");
}

}  // namespace

namespace {

TEST(Allocation, TheProgramStopsWithAClearMessageWhenAGridCannotBeMade) {
    nrutil_testing::fail_allocation_after(2);
    try {
        require_grid<double>(40, 30);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_STREQ(failure.what(), "not enough memory for a grid of 40 rows and 30 columns");
    }
    nrutil_testing::fail_allocation_after(-1);
}

// Bytes of this process's memory the system holds for it.
int64_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    int64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * 4096;
}

// A large grid's rows are cut from a block of the heap prepared in advance: they still come
// zero-filled, and once released their memory goes back to the system, as it would without the
// preparation (a long dialogue session must not keep its largest grid's memory for good).
TEST(Allocation, APreparedGridIsZeroFilledAndItsMemoryGoesBack) {
    constexpr int32_t rows = 9000, cols = 1024;  // 74 MB
    [[maybe_unused]] const int64_t before = resident_bytes();
    {
        Matrix<double> grid = fresh_grid<double>(rows, cols, 2);
        for (int32_t i = 0; i < rows; ++i) {
            EXPECT_TRUE(all_zero_bytes(grid[i], cols)) << "row " << i;
            std::fill(grid[i], grid[i] + cols, 1.0);
        }
#if defined(__linux__)
        EXPECT_GT(resident_bytes() - before, int64_t{64} << 20);
#endif
    }
#if defined(__linux__) && defined(__GLIBC__) && !defined(TERRAPIVOTER_SANITIZED)
    EXPECT_LT(resident_bytes() - before, int64_t{16} << 20);
#endif
}

// Runs started together, each entering what it will hold, never budget more than the machine
// has between them, and each still gets at least the least it needs.
TEST(MemoryLedger, RunsStartedTogetherShareTheMachine) {
    constexpr int64_t kGiB = int64_t{1} << 30;
    const int64_t least = 200 << 20;
    for (const int64_t needed : {2 * kGiB, 12 * kGiB, 40 * kGiB}) {
        for (const int runs : {1, 4, 8}) {
            MemoryPicture picture{24 * kGiB, 23 * kGiB, 0};
            int64_t held = 0;
            for (int k = 0; k < runs; ++k) {
                const int64_t budget = budget_for(picture, least);
                EXPECT_GE(budget, least);
                const int64_t holds = std::min(budget, needed);
                held += holds;
                picture.held_by_others += static_cast<uint64_t>(holds);
            }
            EXPECT_LE(held, 24 * kGiB * 3 / 4 + runs * least) << runs << " runs of " << needed;
        }
    }
    // What is available now bounds a run too: other programs hold memory the ledger never saw.
    EXPECT_EQ(budget_for({24 * kGiB, 4 * kGiB, 0}, least), 3 * kGiB);
}

// Other runs here are POSIX processes (fork).
#ifndef _WIN32
TEST(MemoryLedger, ARunSeesTheOthersEntriesAndDropsTheDeadOnes) {
    ScratchDir dir;
    const std::string ledger = (dir / "ledger").string();
    // An entry of a process that has ended.
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    write_file(ledger, std::to_string(gone) + " 999999999999\n");
    // A run of another process that holds 1 GiB while this one budgets.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t other = fork();
    if (other == 0) {
        const MemoryReservation held(int64_t{1} << 30, 1, ledger);
        if (write(ready[1], "x", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    {
        const MemoryReservation mine(int64_t{1} << 20, 1, ledger);
        const std::string entries = read_file(ledger);
        EXPECT_EQ(entries.find(std::to_string(gone) + " "), std::string::npos) << entries;
        EXPECT_NE(entries.find(std::to_string(other) + " 1073741824\n"), std::string::npos)
            << entries;
        EXPECT_NE(entries.find(std::to_string(getpid()) + " 1048576\n"), std::string::npos)
            << entries;
    }
    // Ended, a run takes its entry away; the other's stays while it lives.
    EXPECT_EQ(read_file(ledger), std::to_string(other) + " 1073741824\n");
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}
#endif

}  // namespace
