// How many processors the process can keep busy at once.
#pragma once

namespace atb {

// The processors the process may run on (its affinity), fewer when the CPU quota of its control
// group, or of a group above it, allows less; at least 1.
int UsableProcessors();

}  // namespace atb
