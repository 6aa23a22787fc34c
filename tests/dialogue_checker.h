// Runs a whole dialogue in-process and checks, at every console read, what the last answer did
// to one attribute file:
//   - never corrupt: a file whose every table checked out still does;
//   - refusal is harmless: an answer the tool refused left the file byte for byte as it was;
//   - only answers to value prompts ("new text?", "new value(...)?", "ID of reference to add?")
//     change the file; a text edit changes the edited text and nothing else: every count, key and
//     type, and every other value, read through the new offsets, are as before;
//   - the header's size fields match the length after every change.
#pragma once

#include <string>
#include <vector>

#include "platform/files.h"

namespace atb::testing {

// Runs `script` in `dir`, watching the file `dir`/`name`. Answers what was violated, with the
// command that did it; empty when all held.
std::vector<std::string> CheckedDialogue(const std::string& dir, const std::string& name,
                                         std::string script, Files& files = SystemFiles());

}  // namespace atb::testing
