// Waiting for a file that another process holds: a reader beside a change, a change beside a
// reader, a reader beside a recovery. A wait says on standard error, after a second, which
// process it waits for; it goes on for as long as that process makes progress, and gives up once
// it has made none for a bound (a stopped process, one stuck on a full pipe).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/files.h"

namespace atb {

struct WaitPolicy {
  int64_t stallMs = 30000;  // no progress for this long: the holder is taken for stalled
  int64_t sayAfterMs = 1000;
  // Says what the wait for `file` is for; nothing is said without it.
  std::function<void(const std::string& file, const std::string& message)> say;
};

// For the whole process, as the front end sets it.
void SetWaitPolicy(WaitPolicy policy);
const WaitPolicy& CurrentWaitPolicy();
// The bound of `seconds` (the text of ATB_WAIT or --wait: seconds without progress before giving
// up), in milliseconds; none for a text that is missing, empty or no such number.
std::optional<int64_t> StallBoundOf(const char* seconds);

// Takes the change lock of the file open at `fd` (named `name` in messages), waiting for whoever
// holds it. The journal at `journalPath` growing or changing counts as progress too. Stalled
// ("locked by a stalled process ...") when the holder makes no progress for the policy's bound.
Status AwaitChangeLock(Files& files, int fd, bool exclusive, const std::string& name,
                       const std::string& journalPath);

// Waits until no other process holds the editing lock of the file open at `fd`, without taking
// it: a reader that must finish an interrupted change waits so for one that finishes it already.
Status AwaitEditLockFree(Files& files, int fd, const std::string& name,
                         const std::string& journalPath);

}  // namespace atb
