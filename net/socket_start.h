// The one-time start of the socket layer, done before any endpoint exists (the
// service's start-up, the installer library's port test). Safe from any thread.
#pragma once

// Starts the socket layer once per process, under a lock; later calls return the
// first call's result. On failure message 139 is reported with the system's error
// code and the result is false.
bool TernStartSockets();
