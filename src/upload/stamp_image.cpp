// The stamp's bytes in the image.
#include "upload/stamp_image.h"

#include "image/firmware_image.h"
#include "output/text.h"
#include "stamp/stamp_format.h"

#include <cstdio>
#include <memory>
#include <vector>

Failure stamp_image(const StampSettings &settings, const StampValue &value)
{
    std::vector<uint8_t> bytes;
    if (Failure unfit = stamp_encode(settings, value, bytes); failed(unfit))
        return unfit;
    for (size_t i = 0; i < bytes.size(); ++i)
        image_store(settings.address + uint32_t(i), bytes[i]);
    return Failure{};
}

std::string stamped_image_sha256(const UploadPlan &plan, const StampSettings &settings, const StampValue &value)
{
    static std::unique_ptr<FirmwareImage> kept(new FirmwareImage);
    *kept = firmware_image;
    const std::string sum = failed(stamp_image(settings, value)) ? "" : sent_image_sha256(plan);
    firmware_image = *kept;
    return sum;
}

std::string stamp_shown(const StampSettings &settings, const StampValue &value)
{
    const bool text = settings.format == STAMP_ASCII || settings.format == STAMP_UTF16LE;
    char place[48];
    std::snprintf(place, sizeof place, " at 0x%04X (", unsigned(settings.address));
    std::string shown;
    shown.append(text ? "\"" : "").append(printable(value.text)).append(text ? "\"" : "");
    shown.append(place).append(stamp_format_name(settings)).append(")");
    return shown;
}
