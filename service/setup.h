// The installation command: lays out a ready installation in a directory.
#pragma once

// Writes the registry values (directories under dir, ports) that are not there yet,
// creating the registry file and keys when missing, and makes the directories.
// ports: SMTP, POP3 and HTTP port texts, or null for 25, 110 and 8003. tlsPorts:
// the SMTPS, POP3S and HTTPS port texts; null gives 465, 995 and 8443 when ports is
// null too and the installation is new, and otherwise no encrypted listeners
// (their port values stay unset).
// When the registry names no certificate, a self-signed one for the mail domain
// is made in the local directory (its key readable by the owner alone). Never
// overwrites what exists. Prints where things are; true on success.
bool OstrelSetup(const char* dir, char** ports, char** tlsPorts = nullptr);
