#include "loader/BlockWriter.h"

#include <algorithm>

#include "app/log/Log.h"

BlockPlan PlanBlocks(std::uint32_t imageSize, std::uint32_t blockSize) {
  LogMessage("Ready to start flashing. BlockSize[%d] Image Size [%d]", blockSize, imageSize);
  BlockPlan plan{blockSize, blockSize != 0 ? imageSize / blockSize : 0};
  LogMessage("Number of blocks[%d]", plan.blocks);
  if (plan.blocks == 0) plan.blockSize = imageSize;
  if (plan.blockSize != 0 && imageSize % plan.blockSize != 0) ++plan.blocks;
  return plan;
}

bool WriteBlocks(std::span<const std::uint8_t> image, const BlockPlan& plan, const BlockWrite& write,
                 CWriteProgress& progress) {
  // The bar and the progress window both take one step per block.
  const auto steps = static_cast<std::uint16_t>(plan.blocks);
  progress.WriteBegins({.steps = steps, .windowSteps = steps});
  const auto total = static_cast<std::uint32_t>(image.size());
  // A block never exceeds 65535 bytes, the widest length a write takes.
  const std::uint32_t chunkLimit = std::min<std::uint32_t>(plan.blockSize, 0xFFFF);
  // A plan made for another image could have no block size: it would never finish.
  if (chunkLimit == 0 && total != 0) return false;
  std::uint32_t written = 0;
  while (written < total) {
    const std::uint32_t chunk = std::min(chunkLimit, total - written);
    if (!write(image.subspan(written, chunk))) return false;
    written += chunk;
    progress.BlockWritten(written, total);
  }
  return true;
}
