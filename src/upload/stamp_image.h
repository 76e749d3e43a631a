// A board's value in its copy of the image (-stamp=): this process writes
// one board, so the process's image is that board's copy.
#pragma once

#include "output/failure.h"
#include "stamp/stamp_settings.h"
#include "upload/protocol.h"

#include <string>

// Puts the value's bytes into the image at the stamp's address, as if the
// file had held them there: a block that the file left empty becomes a
// block that is sent. A failure (FAILURE_STAMP) when the value does not
// fit its format; the image is then as it was.
Failure stamp_image(const StampSettings &settings, const StampValue &value);

// The SHA-256 of the image sent with this value in it (for a board that a
// copy writes); the image is left as it was. "" when it cannot be had.
std::string stamped_image_sha256(const UploadPlan &plan, const StampSettings &settings, const StampValue &value);

// The value as -v and the messages show it: "1000 at 0x7F00 (u32le)".
std::string stamp_shown(const StampSettings &settings, const StampValue &value);
