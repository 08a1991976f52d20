// embedded_stub.h: the bare stub the tool carries, so that pack needs no --stub.
#pragma once
#include <cstddef>
#include <cstdint>

namespace selfextr {

extern const uint8_t kEmbeddedStub[];
extern const size_t kEmbeddedStubSize;
extern const char kEmbeddedStubSha256[];  // lower-case hex

}  // namespace selfextr
