#pragma once
// Whole-or-nothing file output for the firmware tool (one implementation per operating system).

#include <filesystem>
#include <string>
#include <string_view>

// Writes `data` to `path` through a temporary file in the same folder that replaces `path` only
// when everything was written, so a failure never leaves a partial file. On failure `error`
// says what went wrong.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view data,
                         std::string& error);
