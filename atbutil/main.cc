// atbutil: reads, checks and rebuilds attribute files without the dialogue.
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

// Memory so short that the program cannot start is said, not an abort: so short, even, that no
// exception could be made for it. Until the command runs, which says what it was reading.
[[noreturn]] void StartingWithoutMemory() {
  std::fputs("atbutil: not enough memory\n", stderr);
  std::_Exit(2);
}

// Made before CLI11's own objects, which allocate as the program starts.
[[maybe_unused]] const bool kStartHandler = (std::set_new_handler(StartingWithoutMemory), true);

}  // namespace

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "atb/file.h"
#include "atb/system.h"
#include "atbutil/commands.h"
#include "atbutil/open_file.h"

namespace {

// CLI11 meets an unknown word with "A subcommand is required"; a user needs to hear which word.
bool IsUnknownSubcommand(const CLI::App& app, int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return false;
  return app.get_subcommands([&](const CLI::App* sub) { return sub->check_name(argv[1]); }).empty();
}

// What the command line gives a command; each fills in what it uses.
struct Args {
  std::string file, path, json, out, html, key, side, other, third, mergedName, journal;
  std::string selector, sheet;
  bool asJson = false, discard = false, checkOnly = false, all = false;
  bool overlay = false, noSync = false, ours = false, theirs = false, raw = false, zero = false;
  bool reverse = false, filesOnly = false, countOnly = false;
  std::vector<std::string> namesFiles;
  std::vector<std::string> files;
  CLI::App* sub = nullptr;  // the command's own part of the command line, once parsed
};

// The words after FILE that set, add and remove read as they stand.
std::vector<std::string> Remaining(const Args& a) {
  std::vector<std::string> rest = a.sub->remaining();
  if (!rest.empty() && rest[0] == "--") rest.erase(rest.begin());
  return rest;
}

// Every command that shows or reads keys takes names files, after those of ATB_NAMES and the
// user's own (main reads them).
void NamesOption(CLI::App& sub, Args& a) {
  sub.add_option("--names", a.namesFiles,
                 "A file of attribute names, one per line, to show and read keys by; may be given "
                 "several times")
      ->allow_extra_args(false)
      ->option_text("FILE");
}

// Every command: its name and help, its options, and what runs it. --help lists them in this
// order.
struct Command {
  const char* name;
  const char* help;
  void (*options)(CLI::App& sub, Args& a);
  int (*run)(const Args& a, const atb::KeyNames& names);
  bool showsKeys = true;  // takes --names, and reads the names of ATB_NAMES and the user's own
  bool hidden = false;    // left out of --help: for the shell's completion, not for people
};

const Command kCommands[] = {
    {"dump", "Print the whole tree: one line per entry, or JSON",
     [](CLI::App& sub, Args& a) {
       auto* json =
           sub.add_flag("--json", a.asJson, "JSON that build turns back into the same bytes");
       sub.add_option("FILE", a.file, "The attribute file, or - for standard input")->required();
       sub.add_option("SELECTOR", a.selector,
                      "Only the entries it matches, each with everything below it "
                      "(doc/select.md)")
           ->excludes(json);
       sub.footer(
           "Exit status: 0 dumped; 1 a damaged file, or a selector that matches nothing; 2 a "
           "selector that does not parse, or a file that cannot be read.");
     },
     [](const Args& a, const atb::KeyNames& names) {
       if (!a.selector.empty()) {
         return atb::DumpSelectedCommand(a.file, a.selector, names, stdout, stderr);
       }
       return atb::DumpCommand(a.file, a.asJson, names, stdout, stderr);
     }},
    {"find", "Print the entries a selector matches in files and folders, as grep -H does",
     [](CLI::App& sub, Args& a) {
       auto* files = sub.add_flag("-l", a.filesOnly, "Only the names of the files with a match");
       sub.add_flag("-c", a.countOnly, "FILE:COUNT for every file instead of the entries")
           ->excludes(files);
       sub.add_option("SELECTOR", a.selector,
                      "A path, with * (every entry of a table), ** (a table and every table below "
                      "it) and filters [?type=float] [?value>10] [?value~\"REGEX\"] "
                      "[?name=\"NAME\"]")
           ->required();
       sub.add_option("FILE", a.files,
                      "Attribute files, folders (every *.atb below them, symlinks not followed), "
                      "or - for one file on standard input")
           ->required();
       sub.footer(
           "Prints FILE:PATH = VALUE for every match, files in the order given (a folder's in "
           "sorted order), entries in the order dump prints them. doc/select.md gives the "
           "selectors.\nExit status: 0 a match, 1 none, 2 trouble: a selector that does not "
           "parse, a file that cannot be read or is damaged (named on standard error; the others "
           "are still searched).");
     },
     [](const Args& a, const atb::KeyNames& names) {
       const atb::FindOutput output = a.filesOnly   ? atb::FindOutput::kFiles
                                      : a.countOnly ? atb::FindOutput::kCounts
                                                    : atb::FindOutput::kLines;
       return atb::FindCommand(a.selector, a.files, output, names, stdin, stdout, stderr);
     }},
    {"table", "The tables a selector matches as a CSV sheet, and an edited sheet back as a patch",
     [](CLI::App& sub, Args& a) {
       sub.add_option("--patch", a.sheet,
                      "Read this edited sheet (or - for standard input) against the files, and "
                      "print the patch it makes");
       sub.add_option("SELECTOR FILE", a.files,
                      "Without --patch: a selector (/ for each file's root table), then files or "
                      "folders; with it, the files or folders the sheet was made of")
           ->required();
       sub.footer(
           "Without --patch, prints a row per table with a column per key (doc/table.md). "
           "Exit status: 0 a sheet, 1 no table matched, 2 trouble.\nWith --patch, prints a patch "
           "that apply takes: 0 no change, 1 changes, 2 cells refused or files unreadable "
           "(each named on standard error; nothing printed).");
     },
     [](const Args& a, const atb::KeyNames& names) {
       if (!a.sheet.empty()) {
         return atb::TablePatchCommand(a.sheet, a.files, names, stdin, stdout, stderr);
       }
       const std::vector<std::string> roots(a.files.begin() + 1, a.files.end());
       return atb::TableCommand(a.files.front(), roots, names, stdout, stderr);
     }},
    {"textconv", "dump for git diff: never fails on a damaged, short or foreign file",
     [](CLI::App& sub, Args& a) {
       sub.add_option("FILE", a.file, "The file, or - for standard input")->required();
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::TextconvCommand(a.file, names, stdout, stderr);
     }},
    {"check", "Check that every table of every file is sound",
     [](CLI::App& sub, Args& a) {
       sub.add_option(
              "FILE", a.files,
              "Attribute files, and folders: every *.atb below them, symlinks not followed; "
              "- for standard input")
           ->required();
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::CheckCommand(a.files, names, stdout, stderr);
     }},
    {"get", "Print values, one a line, as dump prints them",
     [](CLI::App& sub, Args& a) {
       sub.add_flag("--raw", a.raw,
                    "Texts as their characters alone: no quotes, no escapes, a localized text as "
                    "UTF-8; other values as without it");
       sub.add_flag("-z", a.zero, "End each value with a zero byte instead of a line break");
       sub.add_option("FILE", a.file, "The attribute file, or - for standard input")->required();
       sub.add_option("PATH", a.files,
                      "Entries, as dump names them (or by label, key, #N or name), printed in "
                      "this order")
           ->required();
       sub.footer(
           "Nothing is printed unless every PATH names one entry: each that does not is said on "
           "standard error.\nExit status: 0 printed; 1 a PATH that matches no entry or several, "
           "a damaged file, or with --raw a text that UTF-8 cannot carry; 2 trouble.");
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::GetCommand(a.file, a.files, atb::GetForm{a.raw, a.zero ? '\0' : '\n'}, names,
                              stdout, stderr);
     }},
    {"set", "Change values; all of them or none",
     [](CLI::App& sub, Args& a) {
       sub.add_option("FILE", a.file, "The attribute file")->required();
       // Everything after FILE is PATH VALUE pairs, read as they stand: a value such as -inf is a
       // value, not an option.
       sub.prefix_command();
       sub.footer(
           "After FILE: PATH VALUE [PATH VALUE]..., entries and their new values as dump "
           "prints them.");
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::SetCommand(a.file, Remaining(a), names, stderr);
     }},
    {"add", "Add entries of any type; all of them or none",
     [](CLI::App& sub, Args& a) {
       sub.add_option("FILE", a.file, "The attribute file")->required();
       sub.prefix_command();
       sub.footer(
           "After FILE: PATH TYPE VALUE [PATH TYPE VALUE]..., where PATH is the table's path and "
           "the new entry's key (a label, a name or a number), TYPE is float, bool, text, "
           "localized or table, and VALUE is written as dump prints it (for a table: its name as "
           "a quoted text, or empty).");
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::AddCommand(a.file, Remaining(a), names, stderr);
     }},
    {"remove", "Take entries out; all of them or none",
     [](CLI::App& sub, Args& a) {
       sub.add_option("FILE", a.file, "The attribute file")->required();
       sub.prefix_command();
       sub.footer(
           "After FILE: PATH [PATH]..., the entries to take out (a reference with its whole "
           "table), each named as in the file before the command.");
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::RemoveCommand(a.file, Remaining(a), names, stderr);
     }},
    {"extract", "Write an entry's bytes to a file",
     [](CLI::App& sub, Args& a) {
       sub.add_option("FILE", a.file, "The attribute file")->required();
       sub.add_option("PATH", a.path, "The entry")->required();
       sub.add_option("OUT", a.out, "The file to write; replaced only once complete")->required();
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::ExtractCommand(a.file, a.path, a.out, names, stderr);
     }},
    {"insert", "Add a reference whose table is a side file",
     [](CLI::App& sub, Args& a) {
       sub.add_option("FILE", a.file, "The attribute file")->required();
       sub.add_option("TABLE_PATH", a.path, "The table to add to: a reference's path, or /")
           ->required();
       sub.add_option("KEY", a.key, "The new entry's key: a number, a label or a name")->required();
       sub.add_option("SIDE", a.side, "The file holding the new nested table")->required();
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::InsertCommand(a.file, a.path, a.key, a.side, names, stderr);
     }},
    {"recover", "Finish a change that a dying process left half made",
     [](CLI::App& sub, Args& a) {
       auto* discardFlag = sub.add_flag(
           "--discard", a.discard,
           "Take away instead a change that cannot be finished: a journal that belongs to no "
           "change of the file as it is, or the file's mark with a journal that is gone, damaged "
           "or no longer fits; says what it recorded and what is lost");
       sub.add_option("--journal", a.journal,
                      "Finish the change from this journal, wherever it lies now (the file "
                      "renamed or copied away from its own)")
           ->excludes(discardFlag);
       sub.add_option("FILE", a.file,
                      "The attribute file, or a folder that a change over many files was "
                      "interrupted in")
           ->required();
     },
     [](const Args& a, const atb::KeyNames&) {
       return atb::RecoverCommand(a.file, a.discard, a.journal, stderr);
     },
     false},
    {"build", "Write an attribute file from its JSON form",
     [](CLI::App& sub, Args& a) {
       sub.add_option("JSON", a.json, "The JSON form, or - for standard input")->required();
       sub.add_option("OUT", a.out,
                      "The file to write, replaced only once complete; or - for standard output")
           ->required();
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::BuildCommand(a.json, a.out, names, stdout, stderr);
     }},
    {"diff", "Print the patch that turns A into B",
     [](CLI::App& sub, Args& a) {
       sub.add_flag("--overlay", a.overlay,
                    "B is a mod folder that holds only the files it changes: files B lacks are "
                    "left alone, not removed");
       sub.add_flag("--reversible", a.reverse,
                    "Give every old value whole and every removed entry's neighbours, so that "
                    "apply -R can undo the patch");
       sub.add_option("A", a.file,
                      "The attribute file, or folder, to start from; - for standard input")
           ->required();
       sub.add_option("B", a.other,
                      "The attribute file, or folder, to end at; - for standard input (one of "
                      "the two)")
           ->required();
       sub.footer("Exit status: 0 the same, 1 different (the patch printed), 2 trouble.");
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::DiffCommand(a.file, a.other, names, stdout, stderr, atb::SystemFiles(),
                               a.overlay, a.reverse);
     }},
    {"apply", "Apply patches in order, as one change",
     [](CLI::App& sub, Args& a) {
       sub.add_flag("--check", a.checkOnly, "Only say whether the patches apply; write nothing");
       sub.add_flag("-R,--reverse", a.reverse,
                    "Undo the patches on the file or folder they made, the last first: their new "
                    "values expected, their old ones written, adds taken out and removals put "
                    "back");
       sub.add_flag("--no-sync", a.noSync,
                    "Do not wait for the disk: the change survives a kill, not a power loss");
       sub.add_option("TARGET", a.file, "The attribute file, or a folder for patches over a folder")
           ->required();
       sub.add_option("PATCH", a.files,
                      "Patches, applied in order; - reads one from standard input")
           ->required();
       sub.footer(
           "-R needs every old value whole and every removal's place, as diff --reversible writes "
           "them; a patch over a folder undoes one at a time, and never one that removes a file, "
           "which its size and hash cannot make again.\nExit status: 0 applied, 1 refused "
           "(nothing written), 2 trouble.");
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::ApplyCommand(a.file, a.files, a.checkOnly, names, stdin, stderr,
                                atb::SystemFiles(), !a.noSync && atb::DurableChanges(), a.reverse);
     }},
    {"merge", "Merge the changes from BASE to THEIRS into OURS (git's merge driver)",
     [](CLI::App& sub, Args& a) {
       auto* ours = sub.add_flag("--ours", a.ours, "Settle every conflict by keeping ours");
       sub.add_flag("--theirs", a.theirs,
                    "Settle every conflict by taking theirs: its value, removal, table, lead or "
                    "header")
           ->excludes(ours);
       sub.add_option("BASE", a.file, "The common ancestor")->required();
       sub.add_option("OURS", a.other, "Our version, which receives the merge")->required();
       sub.add_option("THEIRS", a.third, "Their version")->required();
       sub.add_option(
           "NAME", a.mergedName,
           "The file's name in messages and the commands they give (git's %P), when OURS is a "
           "temporary file");
       sub.footer(
           "Exit status: 0 merged (with --ours or --theirs, every conflict settled so); 1 "
           "conflicts: OURS holds every other change and ours at each conflict, each listed with "
           "how to take theirs; 2 trouble, OURS left as it was.");
     },
     [](const Args& a, const atb::KeyNames& names) {
       const atb::MergeSide side = a.ours     ? atb::MergeSide::kOurs
                                   : a.theirs ? atb::MergeSide::kTheirs
                                              : atb::MergeSide::kNone;
       return atb::MergeCommand(a.file, a.other, a.third, a.mergedName, side, names, stderr);
     }},
    {"conflicts", "Tell which mods change the same entries, and which one wins",
     [](CLI::App& sub, Args& a) {
       sub.add_flag("--all", a.all, "Every entry that any mod changes, not only shared ones");
       sub.add_flag("--json", a.asJson, "A JSON array, one object per entry");
       sub.add_option("--html", a.html,
                      "Also write the entries as one self-contained page to OUT, replaced only "
                      "once complete; - puts it on standard output instead of the text")
           ->option_text("OUT");
       sub.add_option("BASE", a.file, "The attribute file the mods are made for")->required();
       sub.add_option("MOD", a.files,
                      "Mods in load order: patches, or attribute files diffed against BASE")
           ->required();
       sub.footer(
           "Kinds: agree, override (a later mod's value stands), lost (a later mod removes or "
           "replaces a table inside which an earlier one changed entries), hidden (a change the "
           "result does not show), single (--all: one mod alone).\nThe --html page needs nothing "
           "but a browser; its address ending in #conflicts, or its checkbox, shows only the "
           "conflicts.\nExit status: 0 no conflict, 1 conflicts (override, lost or hidden), 2 "
           "trouble (a mod refused, nothing done).");
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::ConflictsCommand(a.file, a.files, a.all, a.asJson, a.html, names, stdout,
                                    stderr);
     }},
    {"combine", "Print one patch that installs the mods in load order",
     [](CLI::App& sub, Args& a) {
       sub.add_option("BASE", a.file, "The attribute file the mods are made for")->required();
       sub.add_option("MOD", a.files,
                      "Mods in load order: patches, or attribute files diffed against BASE")
           ->required();
       sub.footer(
           "Every change that does not clash is kept; where two clash, the later mod's, and the "
           "clash is listed on standard error as conflicts lists it.\nExit status: 0 no clash, "
           "1 clashes (the patch printed), 2 trouble (a mod refused, nothing done).");
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::CombineCommand(a.file, a.files, names, stdout, stderr);
     }},
    {"rebase", "Make a patch made for OLD again for NEW",
     [](CLI::App& sub, Args& a) {
       sub.add_option("PATCH", a.path, "The patch (or an attribute file diffed against OLD)")
           ->required();
       sub.add_option("OLD", a.file, "The attribute file the patch was made for")->required();
       sub.add_option("NEW", a.other, "The newer attribute file")->required();
       sub.footer(
           "The patch for NEW goes to standard output; each change already in NEW, conflicting "
           "(NEW changed its entry otherwise) or gone (its entry or table is gone from NEW) is "
           "listed on standard error and left out.\nExit status: 0 every change still applies "
           "or is in NEW, 1 a change conflicts or is gone, 2 trouble (nothing done).");
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::RebaseCommand(a.path, a.file, a.other, names, stdout, stderr);
     }},
    {"names", "Print a names file of the texts whose hashes are keys with no name",
     [](CLI::App& sub, Args& a) {
       sub.add_option(
              "FILE", a.files,
              "Attribute files, and folders: every *.atb below them, symlinks not followed; "
              "- for standard input")
           ->required();
       sub.footer(
           "Every 8-bit and localized text is hashed whole and word by word (a word: a run of "
           "ASCII letters, digits and _); those whose hash is a key of the files that no label or "
           "known name shows are printed, sorted, one a line, each with the number of entries it "
           "names after a tab and #. Save them as a names file for --names, ATB_NAMES or "
           "~/.config/atb-edit/names.\nExit status: 0 done; 2 a file that cannot be read or is "
           "damaged (said on standard error, the others still read), or trouble.");
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::NamesCommand(a.files, names, stdout, stderr);
     }},
    {"hash", "Print the key that each word stands for in a path",
     [](CLI::App& sub, Args& a) {
       sub.add_option("WORD", a.files, "Words: names of attributes")->required();
       sub.footer(
           "One key a line, in decimal: a label's key, else the word's hash, as dump and paths "
           "use it.\nExit status: 0 done; 2 trouble.");
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::HashCommand(a.files, names, stdout, stderr);
     },
     false},
    {"update", "Change every entry a selector matches, in files and folders, as one change",
     [](CLI::App& sub, Args& a) {
       sub.add_flag("--dry-run", a.checkOnly,
                    "Print the patch the update would apply (which apply takes), write nothing");
       sub.add_flag("--no-sync", a.noSync,
                    "Do not wait for the disk: the change survives a kill, not a power loss");
       // FILE|DIR... -- SELECTOR OP VALUE..., read as they stand: -= is an operator, not an
       // option.
       sub.prefix_command();
       sub.footer(
           "OP is = (any type, the value as dump prints it), or += -= *= /= (floats). Steps "
           "apply in order, each seeing what the ones before it did; every file is checked "
           "before the first byte is written, and all change as one.\nExit status: 0 changed, 1 "
           "a selector matches nothing or an entry cannot be changed so (nothing changed), 2 "
           "trouble (nothing changed).");
     },
     [](const Args& a, const atb::KeyNames& names) {
       std::vector<std::string> roots, words;
       bool steps = false;
       for (const std::string& w : a.sub->remaining()) {
         if (w == "--" && !steps) {
           steps = true;
         } else {
           (steps ? words : roots).push_back(w);
         }
       }
       return atb::UpdateCommand(roots, words, a.checkOnly, !a.noSync && atb::DurableChanges(),
                                 names, stdout, stderr);
     }},
    {"__complete-path", "The paths that can follow PREFIX in FILE, for the bash completion",
     [](CLI::App& sub, Args& a) {
       sub.add_option("FILE", a.file, "The attribute file")->required();
       sub.add_option("PREFIX", a.path, "The path typed so far");
     },
     [](const Args& a, const atb::KeyNames& names) {
       return atb::CompletePathCommand(a.file, a.path, names, stdout, stderr);
     },
     true, true},
};

// A variable of the environment, empty when unset; read here only, never below the commands.
std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// The names of --names, ATB_NAMES and the user's own names file, in that order: the first name
// given for a key wins.
atb::NameSources Sources(const Args& a) {
  atb::NameSources sources{a.namesFiles, Environment("ATB_NAMES"), {}};
  const std::string config = Environment("XDG_CONFIG_HOME");
  const std::string home = Environment("HOME");
  // A relative XDG_CONFIG_HOME is to be ignored.
  if (!config.empty() && config[0] == '/') {
    sources.config = config + "/atb-edit/names";
  } else if (!home.empty()) {
    sources.config = home + "/.config/atb-edit/names";
  }
  return sources;
}

// A command line that asks wrongly: said with a pointer to the usage.
int Usage(const std::string& message) {
  std::fprintf(stderr, "atbutil: %s\n", message.c_str());
  std::fprintf(stderr, "Run atbutil --help for usage.\n");
  return atb::ExitStatus(atb::Status::Invalid(message));
}

// Parses the command line into the commands' Args; -1 when a command is to run, else the exit
// status (help, the version, or a command line that asks wrongly).
int Parse(CLI::App& app, int argc, char** argv) {
  if (IsUnknownSubcommand(app, argc, argv)) {
    return Usage("unknown subcommand \"" + std::string(argv[1]) + "\"");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    // Help that never reached its reader is a failure like any other lost output.
    errno = 0;
    const int status = app.exit(e);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
      return atb::Report(atb::Status::FromErrno(errno).In("cannot write the output"), stderr);
    }
    return status;
  } catch (const CLI::ParseError& e) {
    return Usage(e.what());
  }
  return -1;
}

int Main(int argc, char** argv) {
  CLI::App app{
      "Reads, checks, rebuilds and changes attribute files (.atb) without the dialogue "
      "of atb.",
      "atbutil"};
  app.set_version_flag("--version", std::string("atbutil ") + atb::kVersion);
  app.require_subcommand(1);
  bool noSync = false;
  app.add_flag("--no-sync", noSync,
               "Do not flush changes to the disk in order (as ATB_SYNC=0): a power loss may then "
               "damage a file being changed");
  double waitSeconds = -1;
  app.add_option("--wait", waitSeconds,
                 "Give up waiting for another process that holds the file once it has made no "
                 "progress for this many seconds (default 30, or ATB_WAIT)")
      ->check(CLI::Range(0.0, 1e9));
  app.footer(
      "Exit status: 0 done; 1 a damaged or refused file, a refused change, or a path that "
      "matches no single entry; 2 bad usage, an input that cannot be read or an output that "
      "cannot be written, a full disk, a file size limit, memory that runs out, or a stalled "
      "lock.");

  Args args;
  for (const Command& c : kCommands) {
    CLI::App& sub = *app.add_subcommand(c.name, c.help);
    if (c.hidden) sub.group("");
    c.options(sub, args);
    if (c.showsKeys) NamesOption(sub, args);
  }
  if (const int status = Parse(app, argc, argv); status != -1) return status;

  if (!atb::IgnoreFileSizeSignal()) std::perror("atbutil: SIGXFSZ cannot be ignored");
  const char* sync = std::getenv("ATB_SYNC");
  atb::SetDurableChanges(!noSync && (sync == nullptr || std::strcmp(sync, "0") != 0));
  atb::WaitPolicy wait;
  if (const auto bound = atb::StallBoundOf(std::getenv("ATB_WAIT"))) wait.stallMs = *bound;
  if (waitSeconds >= 0) wait.stallMs = static_cast<int64_t>(waitSeconds * 1000);
  wait.say = [](const std::string& file, const std::string& message) {
    atb::Say(stderr, file, message);
  };
  atb::SetWaitPolicy(wait);
  atb::SetTemporaryRoot(Environment("TMPDIR"));
  for (const Command& c : kCommands) {
    args.sub = app.get_subcommand(c.name);
    if (!*args.sub) continue;
    atb::KeyNames names;
    const atb::Status s = atb::LoadNames(c.showsKeys ? Sources(args) : atb::NameSources{}, &names);
    if (!s.ok()) return atb::Report(s, stderr);
    // From here memory that runs out is an error about what the command was reading.
    std::set_new_handler(nullptr);
    return c.run(args, names);
  }
  // CLI11 requires one subcommand: never reached.
  return atb::ExitStatus(atb::Status::Invalid({}));
}

}  // namespace

int main(int argc, char** argv) {
  // Memory so short that not even the command line can be read is said, not an abort.
  try {
    return Main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("atbutil: not enough memory\n", stderr);
    return atb::ExitStatus(atb::Status::NoMemory({}));
  }
}
