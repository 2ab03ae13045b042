// The installation command: lays out a ready installation in a directory.
#pragma once

// Writes the registry values (directories under dir, ports) that are not there yet,
// creating the registry file and keys when missing, and makes the directories.
// ports: SMTP, POP3 and HTTP port texts, or null for 25, 110 and 8003. Never
// overwrites what exists. Prints where things are; true on success.
bool OstrelSetup(const char* dir, char** ports);
