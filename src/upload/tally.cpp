// The dry run's transport: takes every report and adds up what a real
// upload would send and wait.
#include "upload/tally.h"

#include "image/firmware_image.h"

#include <algorithm>
#include <cstdio>

namespace {

UploadTally tally;
void (*tell_block)(int32_t address, int32_t length);

int count_report(const CommandReport &, double)
{
    ++tally.reports;
    return 1;
}

int nothing_in_hand()
{
    return 1;
}

void count_pause(double seconds)
{
    tally.least_seconds += seconds;
}

void count_block(int32_t address, int32_t length)
{
    ++tally.blocks;
    if (tell_block)
        tell_block(address, length);
}

constexpr UploadTransport COUNTING{count_report, nothing_in_hand, count_pause, count_block, nullptr};

}  // namespace

UploadTally tally_upload(const UploadPlan &plan, void (*each_block)(int32_t address, int32_t length))
{
    tally = UploadTally{0, plan.block_size, 0, 0, 0};
    tell_block = each_block;
    upload_image(COUNTING, plan);
    tell_block = nullptr;
    const int32_t end = std::min({plan.code_size, image_size(), image_used_end()});
    for (int32_t address = 0; address < end; ++address)
        tally.file_bytes += firmware_image.image_used[size_t(address)];
    return tally;
}

std::string tally_figures_text(const UploadTally &tally, const std::string &file_sha256,
                               const std::string &image_sha256)
{
    char text[600];
    std::snprintf(text, sizeof text,
                  "Blocks:     %d of %d bytes\n"
                  "Reports:    %d\n"
                  "File data:  %d bytes\n"
                  "Least time: %.2f s\n"
                  "SHA-256:    %s (file)\n"
                  "            %s (image sent)\n",
                  tally.blocks, tally.block_size, tally.reports, tally.file_bytes, tally.least_seconds,
                  file_sha256.c_str(), image_sha256.c_str());
    return text;
}
