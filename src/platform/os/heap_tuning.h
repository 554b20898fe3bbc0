// Process-wide tuning of the C heap for imports that hold millions of rows in memory.
#pragma once

namespace zeb::platform::os {

// Filling the tables of a gigabyte log touches a few hundred megabytes of fresh memory, and on
// virtual machines fresh memory is a large share of the import's time. The C library reads its
// heap settings only when a process starts, so this restarts the program (same arguments, same
// process id) once with freed memory kept for reuse, the heap grown in large steps, and one
// heap arena for all threads. Call it first thing in main(). It returns normally when the
// settings are already in place, when ZEB_NO_HEAP_TUNING is set, or when the restart fails.
void tuneHeapForLargeTables(char** argv);

}  // namespace zeb::platform::os
