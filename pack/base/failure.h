// failure.h: what kind of failure a message reports, so that a caller words,
// counts or maps it to an exit code without reading the message's text.
#pragma once
#include <string>

namespace selfextr {

enum class FailureKind {
    Refused,  // an input malformed, unsafe or over a limit
    Read,     // an input that could not be read whole
    Write,    // an output that could not be written
};

struct Failure {
    FailureKind kind = FailureKind::Refused;
    std::string message;  // one line, naming the input and the reason
};

}  // namespace selfextr
