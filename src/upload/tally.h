// The upload walked against a counter instead of a device: what a real
// upload would send and how long it would take at the least (the dry run's
// figures).
#pragma once

#include "upload/protocol.h"

#include <string>

struct UploadTally {
    int blocks;            // blocks sent
    int block_size;
    int reports;           // reports sent
    int file_bytes;        // bytes of the image that the file gave, below the part's flash size
    double least_seconds;  // the pauses alone: the upload takes at least this long
};

// Walks the loaded image for this part; `each_block`, when not null, is
// told each block as the walk reaches it.
UploadTally tally_upload(const UploadPlan &plan, void (*each_block)(int32_t address, int32_t length));

// The figures as the dry run shows them, one per line, with the checksums
// of the file and of the image sent.
std::string tally_figures_text(const UploadTally &tally, const std::string &file_sha256,
                               const std::string &image_sha256);
