// The device list as one JSON line, for list_devices and --list.
#pragma once

#include <string>

// Never throws: an enumeration failure becomes the protocol's error reply.
std::string devicesJson();
