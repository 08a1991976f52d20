// progress_line.h: one line on a terminal, redrawn in place while the payload is compressed.
#pragma once
#include "package/payload.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace selfextr {

struct ProgressLine {
    int fd = 2;
    bool drawn = false;
    std::chrono::steady_clock::time_point start{}, last{};
    bool started = false;
};

// The line's text, under 80 columns: bytes read of total, bytes written, the
// ratio, and the time left at the pace so far (seconds since the start).
std::string ProgressLine_Text(const PayloadProgress &p, double seconds);
// Draws the line, at most every kProgressLineMs; a done report clears it, so
// that what is printed next starts a clean line.
void ProgressLine_Show(ProgressLine &line, const PayloadProgress &p);

constexpr int kProgressLineMs = 250;

}  // namespace selfextr
