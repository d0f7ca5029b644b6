// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Inputs of the command-line programs: standard input kept in a private file, so that it can be
// loaded more than once, and whether two names reach the same file. Names are UTF-8.

#include <string>

namespace ll::tools {

// Standard input read to its end, byte for byte (never as text), into a new file in the
// system's temporary folder; the file is removed again when this object goes (on Windows by the
// system, even when the program dies).
class StandardInputCopy {
 public:
  StandardInputCopy() = default;
  ~StandardInputCopy();
  StandardInputCopy(const StandardInputCopy&) = delete;
  StandardInputCopy& operator=(const StandardInputCopy&) = delete;

  // False, with the reason in `error`, when the file cannot be made or the input not read.
  bool Make(std::string& error);
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  [[maybe_unused]] void* handle_ = nullptr;  // Windows: the file's own handle, which deletes it at close
};

// Bytes kept in a file that only this run can have made: a new private folder in the system's
// temporary folder (named by the system, never guessed), a file created there exclusively, never
// through a link. Both are removed when this object goes.
class PrivateFileCopy {
 public:
  PrivateFileCopy() = default;
  ~PrivateFileCopy();
  PrivateFileCopy(const PrivateFileCopy&) = delete;
  PrivateFileCopy& operator=(const PrivateFileCopy&) = delete;

  // False, with the reason in `error`, when the folder or the file cannot be made.
  bool Make(const std::string& bytes, std::string& error);
  const std::string& Path() const { return path_; }

 private:
  std::string folder_, path_;
};

// True when both names lead to one existing file (links and other spellings included).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace ll::tools
