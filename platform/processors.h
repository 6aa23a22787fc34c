// How many processors the process can keep busy at once.
#pragma once

namespace atb {

// The processors the process may run on (its affinity), fewer when its control group's CPU
// quota allows less; at least 1.
int UsableProcessors();

}  // namespace atb
