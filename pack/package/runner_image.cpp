// runner_image.cpp: a runner told by its marker, its signature by its certificate table.
#include "package/runner_image.h"

#include "image/pe.h"
#include "runner/settings.h"

namespace selfextr {

namespace {

constexpr uint16_t kRtRcdata = 10;

}  // namespace

bool Runner_Check(std::span<const uint8_t> bytes, bool &isSigned, std::string &error)
{
    auto image = Image_Parse(std::vector<uint8_t>(bytes.begin(), bytes.end()), error);
    if (!image)
        return error = "not a runner: " + error, false;
    isSigned = image->certSize != 0;
    const ResLangs *marker = ResTree_Find(image->resources, kRtRcdata, RUNNER_MARKER_ID);
    if (marker == nullptr)
        return error = "not a selfextr runner: it carries no marker (RCDATA " + std::to_string(RUNNER_MARKER_ID) + ")", false;
    std::span<const uint8_t> text = ResData_Bytes(*ResLangs_Pick(*marker));
    const std::string format(text.begin(), text.end()), want = RUNNER_SETTINGS_FORMAT;
    if (format != want) {
        std::string shown;
        for (char c : format.substr(0, 64))
            shown += c >= 32 && c < 127 ? c : '?';
        return error = "a runner of another selfextr: it reads the settings \"" + shown + "\", this selfextr writes \"" + want + "\"", false;
    }
    return true;
}

}  // namespace selfextr
