// An upload walked in full before its first report is written: the steps
// that device_play writes, and for each step what a message about it names.
#pragma once

#include "hid/hid_device.h"
#include "upload/protocol.h"
#include "upload/upload_messages.h"

#include <cstdint>
#include <vector>

// A block under way, as the walk's block_started says it: shown once the
// first `after` steps have been delivered.
struct BlockMark {
    int after;
    int32_t address;
    int32_t length;
};

struct WalkScript {
    PlayStep *steps;  // the room that it was recorded into
    int count;        // the steps recorded
    int room;         // the steps that the room holds
    std::vector<ReportInHand> reports;  // per step: report_in_hand as the walk sends it
    std::vector<BlockMark> blocks;      // in order
};

// The steps that the walk of the loaded image for this part has: 0 for a
// block size that the reports cannot carry.
int walk_step_count(const UploadPlan &plan);

// Walks the loaded image for this part into `script`, its steps into
// `room` (of `room_steps`), as upload_image sends it: each report with its
// time limit, each pause after the report that it follows. Returns 0 when
// the walk sends nothing (a block size that the reports cannot carry) or
// does not fit the room, else 1.
int walk_record(const UploadPlan &plan, WalkScript &script, PlayStep *room, int room_steps);

// The steps of -boot's walk: the start-application command alone.
inline constexpr int START_STEPS = 1;

// Records -boot's walk into `script` as start_application sends it: the
// command with its time limit and the pause after it. 1, or 0 when it does
// not fit the room.
int walk_record_start(WalkScript &script, PlayStep *room, int room_steps);

// What the advice after a step that was not delivered rests on: how the
// device's write failed.
WriteTrouble write_trouble();
