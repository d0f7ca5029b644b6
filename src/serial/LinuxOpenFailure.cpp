// SPDX-License-Identifier: GPL-3.0-or-later
// Why an open failed, from the error the open itself met. The device is never opened again to
// find out: an open raises RTS and DTR, and RTS is the module's reset line.

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "serial/PortDispatcher.h"
#include "serial/LinuxPortHolders.h"
#include "serial/PortNames.h"

namespace ll::serial {
namespace fs = std::filesystem;
namespace {

std::string UserName(uid_t uid) {
  const passwd* p = ::getpwuid(uid);
  return p ? p->pw_name : "user number " + std::to_string(uid);
}

// The first folder on the way to `path` that this user may not enter, if any.
std::string FolderNotEntered(const std::string& path) {
  fs::path walked;
  const fs::path full(path);
  for (auto part = full.begin(); part != full.end(); ++part) {
    if (std::next(part) == full.end()) break;  // the device itself
    walked /= *part;
    if (::access(walked.c_str(), X_OK) != 0 && errno == EACCES) return walked.string();
  }
  return {};
}

std::string PermissionAdvice(const std::string& port, const std::string& path) {
  if (const std::string folder = FolderNotEntered(path); !folder.empty()) {
    return port + ": permission denied: this user may not enter the folder " + folder +
           "; ask the administrator for access or choose another port";
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return port + ": permission denied; choose another port";
  // Joining the group helps only when the group may read and write the device.
  const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (!groupMayUse) {
    return port + ": permission denied; only " + UserName(st.st_uid) +
           " may use the device; ask the administrator to give it to a group of users (a udev "
           "rule) or choose another port";
  }
  const group* g = ::getgrgid(st.st_gid);
  if (!g) {
    return port + ": permission denied; the device belongs to group number " +
           std::to_string(st.st_gid) +
           ", which has no name on this system; ask the administrator for access";
  }
  const std::string name = g->gr_name;
  return port + ": permission denied; the device belongs to group " + name + ": join it (sudo "
         "usermod -aG " + name + " $USER), then log out and in again for it to take effect";
}

std::string InUse(const std::string& port, const std::string& path) {
  const std::vector<std::string> holders = PortHolders(path);
  return port + " is in use by another program" +
         (holders.empty() ? std::string() : ": " + JoinHolders(holders)) +
         "; close it and try again";
}

}  // namespace

std::string ExplainOpenFailure(uint16_t comNumber, const OpenFailure& error) {
  const std::string com = "COM" + std::to_string(comNumber);
  const std::string path = error.path.empty() ? PortPath(comNumber) : error.path;
  if (path.empty()) {
    return com + ": no device has this number; plug in the USB serial adapter or choose another "
                 "port (the window's port list and linkloader-cli ports show each one's device)";
  }
  const std::string port = com + ": " + path;
  int e = error.osError;
  if (e == 0) {
    // The open's own error is not known: what the device's entry shows, without opening it.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      e = errno;
    } else if (::access(path.c_str(), R_OK | W_OK) != 0) {
      e = errno;
    } else if (!S_ISCHR(st.st_mode)) {
      e = ENOTTY;
    } else if (!PortHolders(path).empty()) {
      e = EBUSY;
    }
  }
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return port + " does not exist; plug in the adapter or choose another port";
    case EACCES:
    case EPERM:
      return PermissionAdvice(port, path);
    case EBUSY:
    case EWOULDBLOCK:
      return InUse(port, path);
    case ENXIO:
    case ENODEV:
    case EIO:
      return port + " has no device behind it; check the adapter and its cable";
    case ENOTTY:
    case EINVAL:
      if (error.call.empty() || error.call == "open" || error.call == "tcgetattr") {
        return port + " is not a serial port; choose another port";
      }
      break;
    case 0:
      return port + " could not be opened; check the adapter and try again";
    default:
      break;
  }
  if (!error.call.empty() && error.call != "open") {
    // Opened, then refused while the line was being set up.
    return port + " could not be set up (" + error.call + ": " + std::strerror(e) +
           "); check the adapter and try again";
  }
  return port + " could not be opened (" + std::strerror(e) + "); check the adapter and try again";
}

}  // namespace ll::serial
