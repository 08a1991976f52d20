// runner_image.h: the runner made the package's SETUP.EXE: its resources name
// the command, the payload entry and the caption.
#pragma once
#include "image/pe.h"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace selfextr {

// The finished runner's bytes: the bare runner with its strings and an
// asInvoker application manifest (so that installer detection never elevates
// it for its name), stamped with timestamp like the stub.
// Its caption is the stub's in every language of the package: captions maps
// language ids to captions, the default's under en-US.
bool Runner_Build(std::span<const uint8_t> bareRunner, const std::string &command, const std::string &payloadName,
                  const std::map<uint16_t, std::string> &captions, uint32_t timestamp, std::vector<uint8_t> &out,
                  std::string &error);

}  // namespace selfextr
