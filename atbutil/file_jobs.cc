#include "atbutil/file_jobs.h"

#include <sys/stat.h>

#include <cerrno>

namespace atb {

namespace {

// Every *.atb file below `path`, symlinks not followed, and every folder that cannot be read; or
// `path` itself when it names no folder. A folder is read by its path, and only while it is the
// one its parent listed: one swapped for a symlink since leads nowhere outside the tree.
void FindAttributeFiles(Files& files, const std::string& path, std::vector<FileJob>* jobs) {
  struct Folder {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
  };
  std::vector<Folder> pending{{path}};
  std::vector<DirectoryEntry> entries;
  while (!pending.empty()) {
    const Folder folder = std::move(pending.back());
    pending.pop_back();
    struct stat self;
    if (files.ListDirectory(folder.path, &entries, &self) == -1) {
      const int err = errno;
      const bool named = folder.inode == 0;
      // What the user named and is no folder is a file to read, and says so itself when missing.
      if (named && (err == ENOTDIR || err == ENOENT)) {
        jobs->push_back({folder.path, Status::Ok()});
      } else {
        jobs->push_back({folder.path, Status::FromErrno(err)});
      }
      continue;
    }
    if (folder.inode != 0 && (self.st_dev != folder.device || self.st_ino != folder.inode)) {
      jobs->push_back({folder.path, Status::IoError(0, "was replaced while it was read")});
      continue;
    }
    const std::string& parent = folder.path;
    for (DirectoryEntry& e : entries) {
      std::string child = parent.back() == '/' ? parent + e.name : parent + "/" + e.name;
      if (e.kind == DirectoryEntry::kDirectory) {
        pending.push_back({std::move(child), e.device, e.inode});
      } else if (e.kind == DirectoryEntry::kOther && e.name.size() > 4 &&
                 e.name.compare(e.name.size() - 4, 4, ".atb") == 0) {
        jobs->push_back({std::move(child), Status::Ok()});
      }
    }
  }
}

}  // namespace

std::vector<FileJob> ListFileJobs(Files& files, const std::vector<std::string>& paths) {
  std::vector<FileJob> jobs;
  for (const std::string& path : paths) {
    const std::size_t first = jobs.size();
    FindAttributeFiles(files, path, &jobs);
    std::sort(jobs.begin() + static_cast<std::ptrdiff_t>(first), jobs.end());
  }
  return jobs;
}

}  // namespace atb
