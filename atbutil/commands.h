// atbutil's subcommands, each a short function over the store: it reads its files, writes its
// output, and returns the exit status: 0 done; 1 a damaged or refused file (not a regular file,
// locked, read-only), a refused change or JSON form, or a path that matches nothing or several
// entries; 2 bad usage, or a file that cannot be read or written. Messages go to `err` as
// "atbutil: ...".
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "atb/file.h"
#include "atb/patches.h"
#include "atb/system.h"
#include "atb/text.h"

namespace atb {

// Every command reads and writes its files through `files` (tests make it fail).
int DumpCommand(const std::string& path, bool json, const KeyNames& names, std::FILE* out,
                std::FILE* err, Files& files = SystemFiles());
// dump for git's textconv: whatever the file holds, prints what can be read, and for what cannot
// (a file too short or too long, header sizes that do not follow its length, a damaged table)
// a line with the size and hash of its bytes, so that a change to them still shows. Fails only
// when the file cannot be read.
int TextconvCommand(const std::string& path, const KeyNames& names, std::FILE* out, std::FILE* err,
                    Files& files = SystemFiles());
// `paths` are files, and folders whose *.atb files (at any depth, symlinks not followed) are
// checked in sorted order. Files are checked in parallel (so `files` is called from several
// threads); the output is as if one by one.
int CheckCommand(const std::vector<std::string>& paths, const KeyNames& names, std::FILE* out,
                 std::FILE* err, Files& files = SystemFiles());
// get prints each entry's value on a line of its own, in order: as dump prints it, or with `raw`
// a text's own characters (AppendRawText). Nothing is printed unless every path names one entry
// (and with `raw`, every text can be printed); each one that does not is said on `err`.
struct GetForm {
  bool raw = false;
  char end = '\n';  // after each value: a line break, or with -z a zero byte
};
int GetCommand(const std::string& path, const std::vector<std::string>& entryPaths, GetForm form,
               const KeyNames& names, std::FILE* out, std::FILE* err, Files& files = SystemFiles());
// dump of what a selector (text/select.h) matches, each entry with everything below it, lines as
// dump prints them; refused (status 1) when nothing matches.
int DumpSelectedCommand(const std::string& path, const std::string& selector, const KeyNames& names,
                        std::FILE* out, std::FILE* err, Files& files = SystemFiles());
// find: every entry that `selector` matches in each of `paths` (files, folders walked as check
// walks them, "-" for the file on `in`), as FILE:PATH = VALUE, the files' names alone, or
// FILE:COUNT. Files are searched in parallel; the output is as if one by one. Status 0 a
// match, 1 none, 2 trouble: a selector that does not parse, a file that cannot be searched, or
// a damaged table the selector would have looked into (each said on `err`, the others still
// searched).
enum class FindOutput { kLines, kFiles, kCounts };
int FindCommand(const std::string& selector, const std::vector<std::string>& paths,
                FindOutput output, const KeyNames& names, std::FILE* in, std::FILE* out,
                std::FILE* err, Files& files = SystemFiles());
int GetCommand(const std::string& path, const std::string& entryPath, const KeyNames& names,
               std::FILE* out, std::FILE* err, Files& files = SystemFiles());
// `json` is a path, or "-" for standard input; `outPath` a path, or "-" for `out`.
int BuildCommand(const std::string& json, const std::string& outPath, const KeyNames& names,
                 std::FILE* out, std::FILE* err, Files& files = SystemFiles());

// Changes, each checked whole before the first write; a refusal (exit 1) leaves every file as it
// was. `pairs` alternate paths and values.
int SetCommand(const std::string& path, const std::vector<std::string>& pairs,
               const KeyNames& names, std::FILE* err, Files& files = SystemFiles());
int ExtractCommand(const std::string& path, const std::string& entryPath,
                   const std::string& outPath, const KeyNames& names, std::FILE* err,
                   Files& files = SystemFiles());
int InsertCommand(const std::string& path, const std::string& tablePath, const std::string& key,
                  const std::string& sidePath, const KeyNames& names, std::FILE* err,
                  Files& files = SystemFiles());

// `args` are PATH TYPE VALUE triples: PATH is the table's path and the new entry's key.
int AddCommand(const std::string& path, const std::vector<std::string>& args, const KeyNames& names,
               std::FILE* err, Files& files = SystemFiles());
// Every path names an entry of the file as it is before the command.
int RemoveCommand(const std::string& path, const std::vector<std::string>& entryPaths,
                  const KeyNames& names, std::FILE* err, Files& files = SystemFiles());

// Finishes a change that a dying process left half made (every other command does so too when
// it opens the file); with `journal`, from that journal, wherever it lies; with `discard`, takes
// away instead a change that cannot be finished (the journal, and the file's mark), after saying
// what it recorded and what is lost.
int RecoverCommand(const std::string& path, bool discard, const std::string& journal,
                   std::FILE* err, Files& files = SystemFiles());

// Patches (patches/patch.h). diff: status 0 when the files are the same, 1 when they differ (the
// patch on `out`), 2 when they cannot be read or the difference cannot be written as a patch.
// A and B may be two folders: the patch then holds every file that differs (with `overlay`, B
// holds only the files it changes, and files it lacks are left alone). A `reversible` patch gives
// every old value whole and every removed entry's place, so that apply -R can undo it.
int DiffCommand(const std::string& a, const std::string& b, const KeyNames& names, std::FILE* out,
                std::FILE* err, Files& files = SystemFiles(), bool overlay = false,
                bool reversible = false);
// The patches in order, as one change ("-" reads one from `in`); with `check`, only reports.
// Status 0 applied, 1 refused (every failing change on `err` as "PATCH: PATH: expected ...,
// found ..."), 2 trouble (a patch that cannot be read or parsed, a failing disk).
// `path` may be a folder, and the patches then patches over a folder, made as one change over
// all its files (durable unless `durable` is false). With `reverse`, undoes the patches on the
// file they made, the last first (patches/reverse.h): refused (1), saying why, for a patch that
// lacks what undoing needs.
int ApplyCommand(const std::string& path, const std::vector<std::string>& patches, bool check,
                 const KeyNames& names, std::FILE* in, std::FILE* err, Files& files = SystemFiles(),
                 bool durable = DurableChanges(), bool reverse = false);
// git's merge driver: status 0 merged into OURS, 1 conflicts, 2 trouble (a file that cannot be
// read or written, a damaged root table; OURS as it was). On conflicts OURS still receives every
// other change, keeps its own side at each conflict, and `err` lists each with how to take
// theirs; `side` settles every conflict for one side instead (status 0). Messages name the file
// `name` (git's %P) when given.
int MergeCommand(const std::string& base, const std::string& ours, const std::string& theirs,
                 const std::string& name, MergeSide side, const KeyNames& names, std::FILE* err,
                 Files& files = SystemFiles());

// Mods (patches/mods.h): each MOD a patch made for BASE, or an attribute file that is diffed
// against BASE; a MOD is a patch when it is text that parses. Mods installed in the order given;
// a name given twice, or a mod that does not apply to BASE, is refused (status 2, saying why).
// conflicts: the entries that two or more mods touch (`all`: any), on `out` as blocks or JSON;
// status 0 when none conflicts, 1 when one does (override, lost, hidden), 2 trouble. With
// `html`, the same as a page too (atbutil/conflicts_page.h), written there once whole; "-" puts
// the page on `out` instead of the blocks.
int ConflictsCommand(const std::string& base, const std::vector<std::string>& mods, bool all,
                     bool json, const std::string& html, const KeyNames& names, std::FILE* out,
                     std::FILE* err, Files& files = SystemFiles());
// combine: the one patch that installs the mods, on `out`; the conflicts on `err`. Status 0, 1
// when there are conflicts (the winning mod's change in the patch), 2 trouble.
int CombineCommand(const std::string& base, const std::vector<std::string>& mods,
                   const KeyNames& names, std::FILE* out, std::FILE* err,
                   Files& files = SystemFiles());
// rebase: PATCH (or an attribute file diffed against OLD), made for OLD, made again for NEW, on
// `out`; what became of each change on `err`. Status 0 when every change applies or NEW holds
// it, 1 when one conflicts or is gone (left out), 2 trouble.
int RebaseCommand(const std::string& patch, const std::string& old, const std::string& neu,
                  const KeyNames& names, std::FILE* out, std::FILE* err,
                  Files& files = SystemFiles());

// Where names for keys come from, besides the label table: names files given on the command
// line, then those of a list separated by ":" (ATB_NAMES), then the user's own names file
// (`config`, none when it is missing). Each adds names for keys that have none yet. The
// reference-name key is labelled kReferenceNameLabel first. A file that cannot be read fails.
struct NameSources {
  std::vector<std::string> files;
  std::string list;
  std::string config;
};
Status LoadNames(const NameSources& sources, KeyNames* names, Files& files = SystemFiles());

// names: reads the files (folders as check does, in parallel) and prints a names file of every
// text, and every word of a text, whose hash is a key there that `names` has no name for. A file
// that cannot be read or is damaged is said on `err` (status 2); the others are still read.
int NamesCommand(const std::vector<std::string>& paths, const KeyNames& names, std::FILE* out,
                 std::FILE* err, Files& files = SystemFiles());
// hash: the key each word stands for in a path (its label's, else its hash), in decimal.
int HashCommand(const std::vector<std::string>& words, const KeyNames& names, std::FILE* out,
                std::FILE* err);
// update: every entry each SELECTOR matches, in every file of the roots, set (`=`) or changed
// by arithmetic (`+= -= *= /=`, floats), step after step; all checked first, then one change (of
// the one file, over the one folder, or over the current folder for several roots). With
// `dryRun`, the patch on `out` and nothing written. Status 0 done; 1 a selector matches nothing
// or an entry cannot be changed so; 2 trouble; nothing is changed unless 0.
int UpdateCommand(const std::vector<std::string>& roots, const std::vector<std::string>& words,
                  bool dryRun, bool durable, const KeyNames& names, std::FILE* out, std::FILE* err,
                  Files& files = SystemFiles());
// table: a CSV row per table `selector` matches in the roots ("/": each file's root table).
// Status 0 a sheet; 1 no table matched; 2 trouble (the sheet still holds the rest).
int TableCommand(const std::string& selector, const std::vector<std::string>& roots,
                 const KeyNames& names, std::FILE* out, std::FILE* err,
                 Files& files = SystemFiles());
// table --patch: the sheet at `sheet` ("-": `in`) read against the roots, as a patch on `out`
// (of the one file, or over the folder, or over the current folder for several roots). Status 0
// no change; 1 changes; 2 a cell refused or a file unreadable, and nothing on `out`.
int TablePatchCommand(const std::string& sheet, const std::vector<std::string>& roots,
                      const KeyNames& names, std::FILE* in, std::FILE* out, std::FILE* err,
                      Files& files = SystemFiles());

// The shell's completion of a path inside the file at `path`: the entries of the table that
// `prefix` has reached by its last "/", each path beginning as `prefix` does, one a line, a
// table's ending in "/", at most kMostCandidates. The file is opened without a lock and nothing is
// recovered (OpenFile::kPeek): one in the middle of a change, or damaged where the path leads,
// gives none (status 1).
inline constexpr int kMostCandidates = 1000;
int CompletePathCommand(const std::string& path, const std::string& prefix, const KeyNames& names,
                        std::FILE* out, std::FILE* err, Files& files = SystemFiles());

}  // namespace atb
