// The three lenient readings of request fields shared by every command.
#pragma once

#include <string>
#include <variant>

#include "protocol/jm.h"

// A missing field, a number or a boolean reads as the empty string.
inline std::string stringField(const jm::Value& req, const std::string& key) {
    return req.get(key).str("");
}

// Only a JSON number counts; anything else reads as 0.
inline double numberField(const jm::Value& req, const std::string& key) {
    const jm::Value v = req.get(key);
    const double* d = std::get_if<double>(&v.v);
    return d ? *d : 0.0;
}

// On above 0.5, so `true` (not a number) switches off.
inline bool switchField(const jm::Value& req, const std::string& key) {
    return numberField(req, key) > 0.5;
}
