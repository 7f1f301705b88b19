// The whole run over arbitrary bytes, with the round trip checked: shared by the fuzz target
// and by the test that replays the inputs that once failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Writes `bytes` to in.wav in `scratchDir`, converts it to out.wav, and where that succeeds
// converts out.wav to back.wav and checks that back.wav holds the input's data chunk byte for
// byte behind a canonical header. Returns an empty string when all is well, or what went
// wrong; `converted`, when given, tells whether the input was accepted and converted.
std::string roundTripCheck(const std::uint8_t* bytes, std::size_t size, const std::string& scratchDir,
                           bool* converted = nullptr);
