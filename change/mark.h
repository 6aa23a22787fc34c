// The mark a change that moves bytes leaves in the file itself while it is in flight: the first
// bytes of the header, which the layout leaves uninterpreted, say that a change is under way and
// which one (its journal's nonce). A file that leaves its journal (renamed, linked, copied,
// committed) still says so, and a journal is played back only on the file that bears its mark.
// While marked, only the journal holds the bytes the mark covers; the change's last write puts
// back what the finished file holds there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "store/positioned_file.h"

namespace atb {

inline constexpr int64_t kMarkBytes = 24;

// A new change's nonce, which its journal and its mark carry.
uint64_t NewNonce();

// The mark of the change whose journal has `nonce`.
std::string MarkOf(uint64_t nonce);

// What the start of a file says of a change in flight.
struct FileMark {
  bool marked = false;   // it bears the mark of the change of `nonce`
  bool damaged = false;  // it begins as a mark does, but does not check out
  uint64_t nonce = 0;
  uint8_t bytes[kMarkBytes] = {};

  // Whether the bytes differ from the mark of `nonce` in a few places only: that mark, damaged.
  bool Near(uint64_t nonce) const;
};

// What the first kMarkBytes of a file, at `bytes`, say.
FileMark MarkIn(const uint8_t* bytes);
// The mark at the start of `file`, if any.
Status ReadFileMark(PositionedFile& file, FileMark* mark);

// What lies in the folder `dir` that belongs to the change of `nonce`: the journals (by path)
// whose header names it, read without following links. For messages only: nothing is trusted
// for being found here.
std::vector<std::string> FindJournalsOf(Files& files, const std::string& dir, uint64_t nonce);

// The names in `dir` of regular files with inode `inode` that bear the mark of `nonce`: the file
// a stale-looking journal still belongs to, renamed since.
std::vector<std::string> FindMarkedFiles(Files& files, const std::string& dir, ino_t inode,
                                         uint64_t nonce);

// A nonce as the messages show it.
std::string NonceText(uint64_t nonce);

}  // namespace atb
