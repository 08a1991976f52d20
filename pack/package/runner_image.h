// runner_image.h: the runner made the package's SETUP.EXE: its resources name
// the command, the payload entry and the caption.
#pragma once
#include "image/pe.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace selfextr {

// The finished runner's bytes: the bare runner with its strings and an
// asInvoker application manifest (so that installer detection never elevates
// it for its name), stamped with timestamp like the stub.
bool Runner_Build(std::span<const uint8_t> bareRunner, const std::string &command, const std::string &payloadName,
                  const std::string &caption, uint32_t timestamp, std::vector<uint8_t> &out, std::string &error);

}  // namespace selfextr
