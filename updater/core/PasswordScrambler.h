// Scrambling of the passwords the settings store keeps: RC4 under a 4-byte
// time salt and a fixed key, then Base64. This keeps passwords from being
// read at a glance; anyone who can read the store and this program can
// recover them.
#pragma once

#include <cstdint>
#include <string>

namespace TesselSoftware {

// Base64 of salt + RC4(text + terminator). text must be at most 127 bytes
// (the setters allow 126). The salt is the current time's low 32 bits with
// each byte's top bit set, so scrambling twice gives different texts.
std::string ScramblePassword(const std::string& text);
std::string ScramblePassword(const std::string& text, uint32_t time_seconds);

// False (and *text empty) when stored is not the output of ScramblePassword
// of a password of at most 126 characters.
bool UnscramblePassword(const std::string& stored, std::string* text);

}  // namespace TesselSoftware
