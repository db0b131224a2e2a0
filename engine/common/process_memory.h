// Process-wide allocator settings of the programs that run installs.
#pragma once

namespace ProcessMemory {

// Every block of 256 KiB or more (transfer and tile buffers, plan tables) is
// mapped on its own and returned to the system when freed. By default the
// allocator raises that threshold after the first large block is freed, and
// from then on each copy worker's buffers stay in the heap of its thread
// after use, so the resident set grows with the number of connections. Call
// once at program start, before any thread is created.
void returnLargeBlocksToSystem();

}  // namespace ProcessMemory
