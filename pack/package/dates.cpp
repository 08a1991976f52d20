// dates.cpp: calendar checks and encodings; the years are the stub's, 1980 to 2107.
#include "package/dates.h"

#include "base/text.h"

#include <charconv>
#include <chrono>
#include <cstdio>

namespace selfextr {

namespace {

constexpr long long kEpochOf2108 = 4354819200;  // 2108-01-01 00:00:00 UTC

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// SOURCE_DATE_EPOCH as seconds: digits only, and before 2108, past which no
// file date can hold it (checked before any calendar, whose years would not either).
bool ReadEpoch(const char *epoch, long long &seconds, std::string &error)
{
    std::string text = epoch;
    auto r = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || text[0] == '-' || text[0] == '+' || r.ec != std::errc() || r.ptr != text.data() + text.size()) {
        error = "SOURCE_DATE_EPOCH \"" + text + "\" is not a count of seconds";
        return false;
    }
    if (seconds >= kEpochOf2108) {
        error = "SOURCE_DATE_EPOCH \"" + text + "\" cannot be stamped: file dates run from 1980 to 2107";
        return false;
    }
    return true;
}

}  // namespace

bool Date_Encode(const std::string &iso, std::string &out, std::string &error)
{
    int y, m, d;
    if (iso.size() != 10 || iso[4] != '-' || iso[7] != '-' || !Text_Digits(iso, 0, 4, y) || !Text_Digits(iso, 5, 2, m) ||
        !Text_Digits(iso, 8, 2, d)) {
        error = "date \"" + iso + "\" is not an ISO date such as 2026-12-08";
        return false;
    }
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > days[m - 1] + (m == 2 && IsLeap(y))) {
        error = "date \"" + iso + "\" is not a day of the calendar";
        return false;
    }
    if (y < 1980 || y > 2107) {
        error = "date \"" + iso + "\" cannot be stamped: file dates run from 1980 to 2107";
        return false;
    }
    int n = ((y - 1980 - 48) % 128 + 128) % 128;
    char text[32];
    snprintf(text, sizeof text, "%02d-%02d-%02d", m, d, n);
    out = text;
    return true;
}

bool Date_EncodeTime(const std::string &hm, std::string &out, std::string &error)
{
    size_t colon = hm.find(':');
    int h, m;
    if (colon == std::string::npos || colon == 0 || colon > 2 || hm.size() != colon + 3 ||
        !Text_Digits(hm, 0, colon, h) || !Text_Digits(hm, colon + 1, 2, m) || m > 59 || h > 23) {
        error = "time \"" + hm + "\" is not a time such as 4:00";
        return false;
    }
    if (h > 9) {
        error = "time \"" + hm + "\" cannot be stamped: the stub reads a single hour digit, so only 0:00 to 9:59 can be given";
        return false;
    }
    out = std::to_string(h) + ":" + hm.substr(colon + 1);
    return true;
}

bool Date_FromEpoch(const char *epoch, std::string &iso, std::string &error)
{
    long long seconds;
    if (!ReadEpoch(epoch, seconds, error))
        return false;
    auto day = std::chrono::floor<std::chrono::days>(std::chrono::sys_seconds(std::chrono::seconds(seconds)));
    std::chrono::year_month_day ymd(day);
    char buffer[16];
    snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day()));
    iso = buffer;
    return true;
}

bool Date_Timestamp(const std::string &date, const std::string &timeText, const char *sourceDateEpoch, uint32_t &stamp,
                    std::string &error)
{
    long long seconds;
    if (sourceDateEpoch != nullptr && *sourceDateEpoch != '\0') {
        if (!ReadEpoch(sourceDateEpoch, seconds, error))
            return false;
    } else {
        int y, m, d, h = 0, minute = 0;
        std::string time = timeText.empty() ? "0:00" : timeText;
        size_t colon = time.find(':');
        if (!Text_Digits(date, 0, 4, y) || !Text_Digits(date, 5, 2, m) || !Text_Digits(date, 8, 2, d) ||
            colon == std::string::npos || !Text_Digits(time, 0, colon, h) || !Text_Digits(time, colon + 1, 2, minute))
            return error = "no date for the image's timestamp: give one (2026-12-08) or set SOURCE_DATE_EPOCH", false;
        auto day = std::chrono::sys_days(std::chrono::year(y) / std::chrono::month(unsigned(m)) / std::chrono::day(unsigned(d)));
        seconds = day.time_since_epoch().count() * 86400LL + h * 3600LL + minute * 60LL;
    }
    // The field holds 32 unsigned bits of seconds: up to 2106-02-07 06:28:15 UTC.
    if (seconds > 0xFFFFFFFFLL)
        return error = "the release time lies past 2106-02-07, the last day an image's timestamp holds", false;
    stamp = uint32_t(seconds);
    return true;
}

StampParts Date_StampParts(uint16_t dateWord, uint16_t timeWord)
{
    return {1980u + (dateWord >> 9), (dateWord >> 5) & 15u, dateWord & 31u, unsigned(timeWord >> 11),
            (timeWord >> 5) & 63u};
}

}  // namespace selfextr
