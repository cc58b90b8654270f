#pragma once

namespace platform {

// A write past the process's file-size limit (ulimit -f) raises SIGXFSZ on POSIX systems, and
// by default that ends the program on the spot, mid-run, with no word of what was sent.
// Ignored, the write fails with EFBIG instead, which the logs report like a full disk (the run
// pauses and says why). Call once at start-up. Does nothing where there is no such signal.
void ignoreFileSizeSignal();

} // namespace platform
