#include "engine/common/process_memory.h"

#include <malloc.h>

namespace ProcessMemory {

void returnLargeBlocksToSystem() {
  // Setting the threshold also turns off its dynamic adjustment.
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

}  // namespace ProcessMemory
