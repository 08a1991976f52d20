// dates.h: the release date and time as the stub stamps them, and the image's timestamp.
#pragma once
#include <cstdint>
#include <string>

namespace selfextr {

// "2026-12-08" to "12-08-126": the year field n satisfies (n + 48) mod 128 = year - 1980.
bool Date_Encode(const std::string &iso, std::string &out, std::string &error);
// "4:00" or "04:00" to "4:00": the stub reads a single hour digit.
bool Date_EncodeTime(const std::string &hm, std::string &out, std::string &error);
// The date of a SOURCE_DATE_EPOCH value, in ISO form.
bool Date_FromEpoch(const char *epoch, std::string &iso, std::string &error);
// An image's TimeDateStamp: SOURCE_DATE_EPOCH when it is set, else the ISO
// date and H:MM time (empty: 0:00) read as UTC; never the clock.
bool Date_Timestamp(const std::string &date, const std::string &time, const char *sourceDateEpoch, uint32_t &stamp,
                    std::string &error);

// The fields of the stub's date and time words.
struct StampParts {
    unsigned year, month, day, hour, minute;
};
StampParts Date_StampParts(uint16_t dateWord, uint16_t timeWord);

}  // namespace selfextr
