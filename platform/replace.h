// The one way a file is replaced: the writer has written and closed F + newSuffix;
// the switch makes it the file F without a moment in which F is missing, under one
// durability rule (the new data synced, renamed, the directory synced):
//   fsync F_new; remove F_old; hard-link F as F_old; rename F_new over F; fsync the
//   directory.
// A crash leaves F old or new, never absent. When F does not exist the step fails at
// the link and F_new stays behind. With an empty oldSuffix the previous contents are
// not kept, no link is made, and F need not exist yet.
#pragma once

#include <string>

enum class PlatformReplaceStep { None, SyncNew, RemoveOld, KeepOld, Rename, SyncDir };

struct PlatformReplaceResult {
  bool ok = true;
  PlatformReplaceStep failedStep = PlatformReplaceStep::None;
  int error = 0;  // errno of the failed step
};

// Without durable the two fsyncs are left out: for files whose loss a caller can
// make good (an index rebuilt from the data it lists), where the switch's order is
// enough.
PlatformReplaceResult PlatformSwitchFile(const std::string& path, const std::string& newSuffix,
                                         const std::string& oldSuffix, bool durable = true);

// Writes text as the whole contents of F + newSuffix and switches it in as above.
// 0 or the error number of the failed step; F + newSuffix is removed on failure.
int PlatformReplaceFile(const std::string& path, const std::string& text,
                        const std::string& newSuffix, const std::string& oldSuffix);

// fsync of a file by name, and of the directory that holds a path.
int PlatformSyncPath(const std::string& path);
int PlatformSyncParentDir(const std::string& path);
