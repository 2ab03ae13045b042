// The System object's attributes as the setting reader through which the protocol
// servers read their worker and background counts (net/server_start.h) when they
// start and when the administration pages have changed the System object.
#pragma once

#include "net/server_start.h"

class Configuration;

// Reads the value in force of a System attribute from the process-wide
// configuration at each call; nothing can be read while there is none.
TernSettingReader SystemSettingReader();
// The same from a given configuration, which must outlive the reader.
TernSettingReader SystemSettingReader(Configuration& configuration);
