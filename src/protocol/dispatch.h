// One parsed request in, one reply line out.
#pragma once

#include <string>

#include "protocol/jm.h"

class Engine;

// Returned by dispatch for `quit`; never written to standard output.
inline constexpr const char* kQuitSentinel = "__quit__";

// The complete reply without its line feed, or kQuitSentinel.
std::string dispatch(Engine& engine, const jm::Value& request);

// {"ok":false,"error":"<message>"} with the message escaped.
std::string errorReply(const std::string& message);
