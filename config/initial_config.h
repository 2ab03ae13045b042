// The configuration files of a fresh installation, written by the installation
// command. Existing files are never replaced.
//
//   shared  the system object with the local mail domain (and further local
//           domains), and the first administrator: the user "Administrator", who
//           logs in with the account "Administrator" and holds every permission;
//           and the user "Postmaster" (mail on, the same account), where bounce
//           copies and mail to the postmaster go
//   local   the header alone (no lists, dictionaries or events yet)
//
// Everything else the system reads comes from the vendor file's defaults.
#pragma once

#include <string>

inline constexpr char kFirstAdministrator[] = "Administrator";
inline constexpr char kPostmasterUser[] = "Postmaster";
// Every action (add, delete, modify, permissions, schedule, report) on every type.
inline constexpr char kAllPermissions[] = "ADMGSR:CDGLSU";

struct InitialConfigFiles {
  std::string sharedPath;
  std::string localPath;
  std::string domain;        // the local mail domain
  std::string otherDomains;  // further local domains, separated by the byte 0x1C; may be empty
};

// What became of one file.
enum class InitialFileResult { kWritten, kKept, kFailed };

struct InitialConfigOutcome {
  InitialFileResult shared = InitialFileResult::kFailed;
  InitialFileResult local = InitialFileResult::kFailed;
  bool Ok() const { return shared != InitialFileResult::kFailed && local != InitialFileResult::kFailed; }
};

// Writes each file that does not exist yet (through a "_new" file renamed into
// place, so that a file is either whole or absent). A domain that cannot be stored
// in the file format fails the shared file. Failures are reported to the event log.
InitialConfigOutcome WriteInitialConfiguration(const InitialConfigFiles& files);
