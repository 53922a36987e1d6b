// A grid's cells in one block, row after row, not cleared: what a grid handed to another
// program's memory (a numpy array) is made in. On huge pages where the system offers them, so
// that the threads that first write it fault it in 2 MB at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/failure.h"
#include "platform/platform.h"

namespace terrapivoter {

class CellBlock {
  public:
    CellBlock() = default;
    // Fails with the out-of-memory message when the block cannot be had.
    CellBlock(int32_t nb_lig, int32_t nb_col)
        : block_(std::make_unique<platform::LargeBlock>(static_cast<std::size_t>(nb_lig) *
                                                        static_cast<std::size_t>(nb_col) *
                                                        sizeof(double))) {
        if (block_->data() == nullptr) throw Failure(out_of_memory_text(nb_lig, nb_col));
    }

    double* data() const { return block_ ? static_cast<double*>(block_->data()) : nullptr; }
    explicit operator bool() const { return block_ != nullptr; }

  private:
    std::unique_ptr<platform::LargeBlock> block_;
};

}  // namespace terrapivoter
