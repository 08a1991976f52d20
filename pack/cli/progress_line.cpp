// progress_line.cpp: the payload's progress on a terminal, one line redrawn in place.
#include "cli/progress_line.h"

#include <cstdio>
#include <unistd.h>

namespace selfextr {

namespace {

std::string Size(uint64_t bytes)
{
    char text[32];
    if (bytes < (uint64_t(1) << 20))
        snprintf(text, sizeof text, "%.1f KiB", double(bytes) / 1024);
    else if (bytes < (uint64_t(1) << 30))
        snprintf(text, sizeof text, "%.1f MiB", double(bytes) / (1 << 20));
    else
        snprintf(text, sizeof text, "%.2f GiB", double(bytes) / (1 << 30));
    return text;
}

void Put(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;  // a progress line is not worth failing for
        done += size_t(n);
    }
}

}  // namespace

std::string ProgressLine_Text(const PayloadProgress &p, double seconds)
{
    const uint64_t read = std::min(p.read, p.total);
    char ratio[16] = "--";
    if (read != 0)
        snprintf(ratio, sizeof ratio, "%.1f %%", 100.0 * double(p.written) / double(read));
    // Nothing to go on before a second or a first byte: a guess would jump about.
    std::string left = "--:--";
    if (read != 0 && seconds >= 1) {
        const uint64_t s = uint64_t(seconds * double(p.total - read) / double(read) + 0.5);
        char text[32];
        if (s >= 3600)
            snprintf(text, sizeof text, "%llu:%02llu:%02llu", (unsigned long long)(s / 3600),
                     (unsigned long long)(s / 60 % 60), (unsigned long long)(s % 60));
        else
            snprintf(text, sizeof text, "%llu:%02llu", (unsigned long long)(s / 60), (unsigned long long)(s % 60));
        left = text;
    }
    return "payload: " + Size(read) + " of " + Size(p.total) + " read, " + Size(p.written) + " written (" + ratio +
           "), " + left + " left";
}

void ProgressLine_Show(ProgressLine &line, const PayloadProgress &p)
{
    const auto now = std::chrono::steady_clock::now();
    if (!line.started)
        line.started = true, line.start = line.last = now;  // a payload done in a moment shows nothing
    if (p.done) {
        if (line.drawn)
            Put(line.fd, "\r\033[K");
        line.drawn = false, line.started = false;
        return;
    }
    if (now - line.last < std::chrono::milliseconds(kProgressLineMs))
        return;
    line.last = now;
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "..." + std::string&& at -O3.
    std::string text = "\r";
    text += ProgressLine_Text(p, std::chrono::duration<double>(now - line.start).count());
    text += "\033[K";
    Put(line.fd, text);
    line.drawn = true;
}

}  // namespace selfextr
