// The switch step of replacing a data file. The writer has already written and
// closed F + newSuffix; this makes it the file F and keeps the previous contents as
// F + oldSuffix, without a moment in which F is missing:
//   fsync F_new; remove F_old; hard-link F as F_old; rename F_new over F; fsync the
//   directory.
// A crash leaves F old or new, never absent. When F does not exist the step fails at
// the link and F_new stays behind.
#pragma once

#include <string>

enum class PlatformReplaceStep { None, SyncNew, RemoveOld, KeepOld, Rename, SyncDir };

struct PlatformReplaceResult {
  bool ok = true;
  PlatformReplaceStep failedStep = PlatformReplaceStep::None;
  int error = 0;  // errno of the failed step
};

PlatformReplaceResult PlatformSwitchFile(const std::string& path, const std::string& newSuffix,
                                         const std::string& oldSuffix);

// fsync of a file by name, and of the directory that holds a path.
int PlatformSyncPath(const std::string& path);
int PlatformSyncParentDir(const std::string& path);
