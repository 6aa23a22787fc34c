// An attribute file opened for one atbutil command, through the one open both programs share,
// and how a command's status reaches its user.
#pragma once

#include <cstdio>
#include <new>
#include <string>

#include "atb/file.h"
#include "atb/system.h"
#include "atb/text.h"

namespace atb {

// How a status becomes an exit status. Most commands: 0 done; 1 the file's content or the
// request is at fault (damaged, refused, too large); 2 the request is malformed or the system
// failed (an I/O error, a full disk). diff and merge exit as tools of their kind do, keeping 1
// for files that differ and for conflicts, so any failure is 2; so does textconv, which fails only
// when a file cannot be read.
enum class ExitRule { kUsual, kAnyFailureIs2 };

// The one table of exit statuses: a row per kind of status, a column per rule.
struct ExitRow {
  Status::Code code;
  int usual;
  int anyFailureIs2;
};
inline constexpr ExitRow kExitStatuses[] = {
    {Status::kOk, 0, 0},       {Status::kDamaged, 1, 2}, {Status::kRefused, 1, 2},
    {Status::kTooLarge, 1, 2}, {Status::kNoSpace, 2, 2}, {Status::kIoError, 2, 2},
    {Status::kStalled, 2, 2},  {Status::kInvalid, 2, 2},
};
// diff's files that differ and merge's conflicts: no failure, and not "the same" either.
inline constexpr int kExitDiffers = 1;

int ExitStatus(const Status& s, ExitRule rule = ExitRule::kUsual);

// Says "atbutil: MESSAGE" on `err`, every control byte in it escaped.
void Say(std::FILE* err, const std::string& message);
// The same for `message` about the file `name` ("atbutil: NAME: MESSAGE", the name quoted when it
// holds a control byte).
void Say(std::FILE* err, const std::string& name, const std::string& message);
// "atbutil: MESSAGE" as it stands, for the messages of diff and apply that have always been
// printed so.
void SayAsIs(std::FILE* err, const std::string& message);

// Says a failed status on `err` ("atbutil: MESSAGE") and returns its exit status.
int Report(const Status& s, std::FILE* err, ExitRule rule = ExitRule::kUsual);

// Memory ran out: an error, exit 2.
Status OutOfMemory();

// Runs `command` (answering a Status) and reports what it came to. Memory that runs out, as it may
// where a buffer is sized by what a file holds, is an error about `path` (exit 2), not an abort.
template <typename Command>
int RunReported(const std::string& path, std::FILE* err, ExitRule rule, Command command) {
  Status s;
  try {
    s = command();
  } catch (const std::bad_alloc&) {
    s = OutOfMemory().In(path);
  }
  return Report(s, err, rule);
}
// Runs `command` (returning an exit status); memory that runs out, as it may where a buffer is
// sized by what a file holds, is an error about `where`, not an abort.
template <typename Command>
int RunGuarded(const std::string& where, std::FILE* err, ExitRule rule, Command command) {
  try {
    return command();
  } catch (const std::bad_alloc&) {
    return Report(OutOfMemory().In(where), err, rule);
  }
}
template <typename Command>
int RunReported(const std::string& path, std::FILE* err, Command command) {
  return RunReported(path, err, ExitRule::kUsual, command);
}

// The folder that temporary files go in (TMPDIR, read by main; /tmp until set).
void SetTemporaryRoot(std::string root);
const std::string& TemporaryRoot();

// What messages call the file named "-": standard input.
std::string ShownName(const std::string& path);

// Flushes what `sink` holds to its file: a full disk or a closed pipe is an error that says the
// output could not be written, never a success.
Status FinishOutput(Sink& sink);
// Writes `text` whole to `out`, the same way.
Status WriteOutput(const std::string& text, std::FILE* out);

// Reads a whole patch file through `files`, or `in` for "-".
Status ReadPatchText(Files& files, const std::string& path, std::FILE* in, std::string* text);

class OpenFile {
 public:
  // kPeek: read without a lock or a recovery (AttributeFile::kPeeking), never standard input.
  enum Mode { kRead, kCheck, kEdit, kPeek };

  explicit OpenFile(Files& files) : open_(files), files_(files) {}
  ~OpenFile();
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  // Opens `path`: for editing, locked against other editors; for reading, keeping changes out
  // until the command is done. Says so on `err` when it finished an interrupted change. Refused
  // (locked, read-only, not a regular file, an interrupted change that cannot be finished),
  // damaged, or an I/O error, each in `path`.
  // Messages name the file `shown`, when given, instead of `path`. "-" is standard input, read
  // whole into a temporary file first (the store reads at offsets, which a pipe cannot), and
  // only for reading; the copy is removed with this object.
  Status Open(const std::string& path, Mode mode, std::FILE* err, const std::string& shown = {});
  // Closing reports a write error that some file systems defer until then.
  Status Close();

  PositionedFile& file() { return open_.file(); }
  ChangeTarget& target() { return open_.target(); }
  Files& files() { return open_.files(); }
  int fd() const { return open_.fd(); }
  int64_t length() const { return open_.length(); }
  const std::string& path() const { return path_; }
  bool recovered() const { return recovered_; }
  bool interrupted() const { return open_.interrupted(); }
  // kPeek: refused when a change has begun since the open.
  Status Unchanging() { return open_.Unchanging().In(path_); }

 private:
  Status CopyStandardInput(std::string* copy);

  AttributeFile open_;
  Files& files_;
  std::string path_;
  std::string copyDir_;  // the temporary folder of standard input's copy
  bool recovered_ = false;
};

}  // namespace atb
