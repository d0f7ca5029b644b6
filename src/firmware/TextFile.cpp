// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/TextFile.h"

#include <cerrno>
#include <cstring>

#include "firmware/FileNames.h"

namespace ll::firmware {

namespace {
constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
// DOS end-of-file marker: text files end at this byte, whatever follows it.
constexpr char kEndOfFileMarker = 0x1A;
constexpr std::size_t kReadChunkBytes = 64 * 1024;
}  // namespace

TextFileReader::~TextFileReader() { Close(); }

bool TextFileReader::Open(const std::string& path) {
  Close();
  path_ = path;
  openError_.clear();
  errno = 0;
  file_ = OpenForReading(path);
  if (file_ == nullptr) {
    openError_ = errno != 0 ? std::strerror(errno) : "cannot open";
    return false;
  }
  buffer_.resize(kReadChunkBytes);
  data_ = buffer_.data();
  pos_ = end_ = 0;
  atEnd_ = false;
  linesRead_ = 0;
  return true;
}

void TextFileReader::OpenBytes(std::string_view bytes) {
  Close();
  path_.clear();
  openError_.clear();
  // The whole input is one fill that is already done; Fill() then finds no file and ends it.
  data_ = bytes.data();
  pos_ = 0;
  end_ = bytes.size();
  atEnd_ = false;
  linesRead_ = 0;
}

void TextFileReader::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  pos_ = end_ = 0;
  atEnd_ = true;
}

bool TextFileReader::Fill() {
  if (atEnd_ || file_ == nullptr) return false;
  errno = 0;
  const std::size_t got = std::fread(buffer_.data(), 1, buffer_.size(), file_);
  if (got == 0) {
    if (std::ferror(file_)) {
      const int error = errno;
      atEnd_ = true;
      throw FileReadError(path_ + ": read error: " +
                          (error != 0 ? std::strerror(error) : "unknown error"));
    }
    atEnd_ = true;
    return false;
  }
  pos_ = 0;
  end_ = got;
  return true;
}

bool TextFileReader::Eof() {
  if (atEnd_) return true;
  if (pos_ == end_ && !Fill()) return true;
  if (data_[pos_] == kEndOfFileMarker) {
    atEnd_ = true;
    return true;
  }
  return false;
}

std::string TextFileReader::ReadLine() {
  std::string line;
  if (Eof()) return line;
  for (;;) {
    if (pos_ == end_ && !Fill()) break;
    const std::size_t start = pos_;
    while (pos_ < end_) {
      const char c = data_[pos_];
      if (c == kLineFeed || c == kCarriageReturn || c == kEndOfFileMarker) break;
      ++pos_;
    }
    line.append(data_ + start, pos_ - start);
    if (pos_ == end_) continue;
    const char c = data_[pos_];
    if (c == kLineFeed) {
      ++pos_;
      break;
    }
    if (c == kEndOfFileMarker) {
      atEnd_ = true;
      break;
    }
    // CR: ends the line only together with a following LF; alone it is dropped.
    ++pos_;
    if (pos_ == end_ && !Fill()) break;
    if (data_[pos_] == kLineFeed) {
      ++pos_;
      break;
    }
  }
  ++linesRead_;
  return line;
}

}  // namespace ll::firmware
