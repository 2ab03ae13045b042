/* The installer helper library: installs, stops and removes the Ostrel service and
 * tests whether a TCP port is taken. Plain C functions, exported by name; every
 * service function returns 0 or a Windows error number. */
#ifndef OSTREL_SETUP_SVCSETUP_H
#define OSTREL_SETUP_SVCSETUP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Records the service with the program at path (reconfiguring an existing record)
 * and starts it. 87 for a missing or empty path. */
int InstallService(const char* path);
/* Stops the service and waits until it has stopped. 1060 when it is not installed. */
int StopService(void);
/* Stops the service (giving up after about 5 minutes) and removes its record. */
int UninstallService(void);
/* 1 when nothing can listen on the port on every interface (a port outside 1..65535
 * included), 0 when it is free; the test listens and closes again, so a free port is
 * free again afterwards. */
int PortTaken(int32_t port);
/* Called by the uninstaller: removes the service; always 0. */
int UninstInitialize(void);
/* Always 0. */
int UninstUnInitialize(void);

#ifdef __cplusplus
}
#endif

#endif
