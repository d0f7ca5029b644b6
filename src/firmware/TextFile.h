// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Line reading with the text-file rules firmware files were written for: LF or CR LF ends a
// line, a CR not followed by LF is dropped, the byte 0x1A ends the file, and lines of any length
// are returned whole. Bytes are returned as they are; nothing is re-encoded.

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ll::firmware {

// A read that failed after the file had been opened (a device error, a directory, ...).
class FileReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TextFileReader {
 public:
  TextFileReader() = default;
  ~TextFileReader();
  TextFileReader(const TextFileReader&) = delete;
  TextFileReader& operator=(const TextFileReader&) = delete;

  // Opens `path` for reading only. False (and errno-based text in OpenError()) when it cannot.
  bool Open(const std::string& path);
  // Reads lines from bytes already in memory, which must outlive the reader's use of them; the
  // same rules as for a file apply, and nothing can fail.
  void OpenBytes(std::string_view bytes);
  void Close();
  const std::string& OpenError() const { return openError_; }

  // True at the end of the data or at an 0x1A byte. Throws FileReadError on a read error.
  bool Eof();
  // The next line without its line end; an empty string at the end of the file.
  // Throws FileReadError on a read error.
  std::string ReadLine();
  // Number of lines ReadLine has returned so far.
  long LinesRead() const { return linesRead_; }

 private:
  bool Fill();  // false at the end of the data

  std::FILE* file_ = nullptr;
  std::string path_;
  std::string openError_;
  std::vector<char> buffer_;
  // The bytes being split: buffer_'s for a file, the caller's for OpenBytes.
  const char* data_ = nullptr;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool atEnd_ = false;
  long linesRead_ = 0;
};

}  // namespace ll::firmware
