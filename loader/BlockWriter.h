#pragma once
// Writes an image block by block through the upgrader's block write, for the
// processors that take their image in blocks rather than as a whole file.
#include <cstdint>
#include <functional>
#include <span>

#include "platform/WriteProgress.h"

struct BlockPlan {
  std::uint32_t blockSize = 0;
  // Blocks the image takes, the last one maybe short.
  std::uint32_t blocks = 0;
};

// Cuts an image of `imageSize` bytes into blocks of `blockSize`; an image
// shorter than one block (or a block size of 0, which would never finish) is
// a single block of the whole image.
BlockPlan PlanBlocks(std::uint32_t imageSize, std::uint32_t blockSize);

// Writes one block; true when the device took it.
using BlockWrite = std::function<bool(std::span<const std::uint8_t> block)>;

// Writes `image` in the blocks of `plan` (PlanBlocks of its size), in order, telling `progress` the
// write's steps (one per block) and each block written. Stops at the first
// block not taken; true when every block was written.
bool WriteBlocks(std::span<const std::uint8_t> image, const BlockPlan& plan, const BlockWrite& write,
                 CWriteProgress& progress);
