// SPDX-License-Identifier: GPL-3.0-or-later
// Output files and the standard streams, the same on every system: what a target may be, and
// the order in which files are put in place and put back. The steps on the file system are the
// system's (OutputFileSystem.h).
#include <iostream>
#include <memory>

#include "OutputFileSystem.h"
#include "ToolOutput.h"

namespace ll::tools {

using output::TargetKind;

bool WriteStdout(std::string_view data, std::string& error) {
  std::cout.flush();
  std::string reason;
  if (output::WriteStandardOutput(data, reason)) return true;
  error = "cannot write to standard output: " + reason;
  return false;
}

bool StdoutGone() { return output::StandardOutputGone(); }

bool ReadStdin(std::string& data, std::string& error) {
  data.clear();
  std::string reason;
  if (output::ReadStandardInput(data, reason)) return true;
  error = "cannot read standard input: " + reason;
  return false;
}

struct OutputSet::Entry {
  enum class Kind { Stdout, Replace, Direct };
  Kind kind = Kind::Replace;
  std::string shown;  // the target as the user named it
  std::string path;   // what is written: the link's target for a symbolic link
  std::string data;
  std::string temp;    // Replace: the staged file beside path
  std::string backup;  // Replace of an existing file: its old contents, while committing
  bool existed = false;
  output::KeptTraits kept;  // the existing file's, kept by the replacement
  bool placed = false;
};

OutputSet::OutputSet() = default;
OutputSet::~OutputSet() { Discard(); }

void OutputSet::Discard() {
  for (const auto& e : entries_) {
    if (!e->temp.empty()) output::Remove(e->temp);
    if (!e->backup.empty()) output::Remove(e->backup);
  }
  entries_.clear();
}

bool OutputSet::Stage(const std::string& target, std::string data, std::string& error,
                      NewFileAccess access) {
  auto entry = std::make_unique<Entry>();
  entry->shown = target;
  entry->data = std::move(data);
  if (target == "-") {
    entry->kind = Entry::Kind::Stdout;
    entries_.push_back(std::move(entry));
    return true;
  }
  if (target.empty()) {
    error = "an empty output name";
    return false;
  }
  // Followed on purpose: a symbolic link keeps pointing where it did, at the new contents. A
  // link to nothing is refused rather than creating a file wherever it happens to point.
  const output::Target found = output::LookAt(target);
  entry->path = found.path;
  switch (found.kind) {
    case TargetKind::Missing: break;
    case TargetKind::File:
      entry->existed = true;
      entry->kept = found.kept;
      break;
    case TargetKind::Device:
      entry->kind = Entry::Kind::Direct;
      entries_.push_back(std::move(entry));
      return true;
    case TargetKind::Folder: error = target + " is a folder"; return false;
    case TargetKind::Other: error = target + " is neither a file nor a device"; return false;
    case TargetKind::BrokenLink:
      error = target + " is a symbolic link to a file that cannot be reached: " + found.reason;
      return false;
    case TargetKind::NotUtf8:
      // Converted anyway, its broken bytes would become other letters: another file's name.
      error = Escaped(target) + " is not a file name in UTF-8";
      return false;
    case TargetKind::Unknown: error = "cannot write " + target + ": " + found.reason; return false;
  }

  std::string reason;
  switch (output::StageBeside(entry->path, entry->data, entry->existed ? &entry->kept : nullptr,
                              access, entry->temp, reason)) {
    case output::Staged::Done: break;
    case output::Staged::NoFileBeside:
      error = "cannot create a file in " + output::FolderOf(entry->path) + ": " + reason;
      return false;
    case output::Staged::NotWritten: error = "cannot write " + target + ": " + reason; return false;
  }
  entries_.push_back(std::move(entry));
  return true;
}

bool OutputSet::Commit(std::string& error) {
  const bool several = entries_.size() > 1;
  auto putBack = [&](const Entry* failed, const std::string& reason) {
    error = "cannot write " + failed->shown + ": " + reason;
    std::string ignored;
    for (const auto& done : entries_) {
      if (!done->placed) continue;
      if (!done->backup.empty()) {
        output::PutInPlace(done->backup, done->path, nullptr, ignored);
        done->backup.clear();
      } else if (!done->existed) {
        output::Remove(done->path);
      }
    }
    Discard();
    return false;
  };
  // Files that can be put back go first; devices, pipes and standard output cannot be undone
  // and are written only once every file is in place. The old contents of a file are kept
  // aside only when there are several: a later one may still fail.
  std::string reason;
  for (const auto& e : entries_) {
    if (e->kind != Entry::Kind::Replace) continue;
    if (several && e->existed && !output::KeepAside(e->path, e->backup, reason)) {
      return putBack(e.get(), reason);
    }
    if (!output::PutInPlace(e->temp, e->path, e->existed ? &e->kept : nullptr, reason)) {
      return putBack(e.get(), reason);
    }
    e->temp.clear();
    e->placed = true;
  }
  for (const auto& e : entries_) {
    if (e->kind == Entry::Kind::Stdout && !WriteStdout(e->data, error)) {
      Discard();
      return false;
    }
    if (e->kind == Entry::Kind::Direct && !output::WriteDirect(e->path, e->data, reason)) {
      error = "cannot write " + e->shown + ": " + reason;
      Discard();
      return false;
    }
  }
  Discard();
  return true;
}

bool WriteOutput(const std::string& target, std::string data, std::string& error,
                 NewFileAccess access) {
  OutputSet set;
  return set.Stage(target, std::move(data), error, access) && set.Commit(error);
}

}  // namespace ll::tools
