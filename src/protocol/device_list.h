// The device list and the virtual cable as JSON lines, for the protocol and the command line.
#pragma once

#include <string>

// Never throws: an enumeration failure becomes the protocol's error reply.
std::string devicesJson();
// create_cable and remove_cable: what was made or removed, or the error reply.
std::string cableJson(bool create);
