// embedded_runner.h: the bare runner the tool carries, packed as a payload's SETUP.EXE.
#pragma once
#include <cstddef>
#include <cstdint>

namespace selfextr {

extern const uint8_t kEmbeddedRunner[];
extern const size_t kEmbeddedRunnerSize;
extern const char kEmbeddedRunnerSha256[];  // lower-case hex

}  // namespace selfextr
