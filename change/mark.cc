#include "change/mark.h"

#include <fcntl.h>

#include <cstring>
#include <random>

#include "change/journal_format.h"
#include "store/hash.h"

namespace atb {

namespace {

constexpr char kMarkMagic[8] = {'A', 'T', 'B', '-', 'M', 'O', 'V', 'E'};
constexpr uint64_t kMarkSeed = 0x6D61726B2D617462ull;

bool EndsWith(const std::string& s, const char* tail) {
  const std::size_t n = std::strlen(tail);
  return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

uint64_t NewNonce() {
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}

std::string MarkOf(uint64_t nonce) {
  uint8_t bytes[kMarkBytes];
  std::memcpy(bytes, kMarkMagic, sizeof kMarkMagic);
  journal::Encode64(bytes + 8, nonce);
  journal::Encode64(bytes + 16, Hash64(bytes, 16, kMarkSeed));
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

bool FileMark::Near(uint64_t of) const {
  const std::string mark = MarkOf(of);
  int differ = 0;
  for (int64_t k = 0; k < kMarkBytes; ++k) differ += bytes[k] != static_cast<uint8_t>(mark[k]);
  // A header that is no mark differs from one in nearly all of its bytes.
  return differ <= kMarkBytes / 3;
}

FileMark MarkIn(const uint8_t* bytes) {
  FileMark mark;
  std::memcpy(mark.bytes, bytes, sizeof mark.bytes);
  if (std::memcmp(bytes, kMarkMagic, sizeof kMarkMagic) != 0) return mark;
  mark.marked = journal::Get64(bytes + 16) == Hash64(bytes, 16, kMarkSeed);
  mark.damaged = !mark.marked;
  if (mark.marked) mark.nonce = journal::Get64(bytes + 8);
  return mark;
}

Status ReadFileMark(PositionedFile& file, FileMark* mark) {
  uint8_t bytes[kMarkBytes] = {};
  std::size_t got = 0;
  Status s = file.ReadUpTo(0, bytes, sizeof bytes, &got);
  *mark = got == sizeof bytes ? MarkIn(bytes) : FileMark();
  return s;
}

std::vector<std::string> FindJournalsOf(Files& files, const std::string& dir, uint64_t nonce) {
  std::vector<std::string> found;
  std::vector<DirectoryEntry> entries;
  if (files.ListDirectory(dir, &entries, nullptr) == -1) return found;
  for (const DirectoryEntry& e : entries) {
    if (e.kind != DirectoryEntry::kOther || e.name.empty() || e.name[0] != '.' ||
        !(EndsWith(e.name, ".journal") || EndsWith(e.name, ".ljournal"))) {
      continue;
    }
    const std::string path = dir + "/" + e.name;
    struct stat st;
    if (files.StatPath(path, &st) == -1 || !S_ISREG(st.st_mode)) continue;
    const int fd = files.Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd == -1) continue;
    uint8_t head[journal::kFrame] = {};
    std::size_t got = 0;
    PositionedFile file(files, fd);
    journal::Layout layout;
    uint64_t seq;
    if (files.Stat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        file.ReadUpTo(0, head, sizeof head, &got).ok() && got == sizeof head &&
        journal::Inspect(head, 0, 0, &seq) == journal::FrameState::kWhole &&
        layout.ReadHeader(head) && layout.nonce == nonce) {
      found.push_back(path);
    }
    files.Close(fd);
  }
  return found;
}

std::vector<std::string> FindMarkedFiles(Files& files, const std::string& dir, ino_t inode,
                                         uint64_t nonce) {
  std::vector<std::string> found;
  std::vector<DirectoryEntry> entries;
  if (files.ListDirectory(dir, &entries, nullptr) == -1) return found;
  for (const DirectoryEntry& e : entries) {
    if (e.kind != DirectoryEntry::kOther) continue;
    const std::string path = dir + "/" + e.name;
    struct stat st;
    if (files.StatPath(path, &st) == -1 || !S_ISREG(st.st_mode) || st.st_ino != inode) continue;
    const int fd = files.Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd == -1) continue;
    PositionedFile file(files, fd);
    FileMark mark;
    if (ReadFileMark(file, &mark).ok() && (mark.marked ? mark.nonce == nonce : mark.Near(nonce))) {
      found.push_back(path);
    }
    files.Close(fd);
  }
  return found;
}

std::string NonceText(uint64_t nonce) {
  char hex[17];
  for (int i = 0; i < 16; ++i) hex[i] = "0123456789abcdef"[(nonce >> (60 - 4 * i)) & 15];
  hex[16] = '\0';
  return hex;
}

}  // namespace atb
