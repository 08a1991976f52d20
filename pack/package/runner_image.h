// runner_image.h: the runner carried as the package's SETUP.EXE, byte for
// byte: told from any other program by its marker.
#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace selfextr {

// Whether bytes are a runner that reads this version's settings (a PE image
// whose marker names RUNNER_SETTINGS_FORMAT): false with the reason.
// isSigned: it carries a certificate table (no cryptographic check).
bool Runner_Check(std::span<const uint8_t> bytes, bool &isSigned, std::string &error);

}  // namespace selfextr
