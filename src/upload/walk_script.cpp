// The walk recorded into steps for device_play.
#include "upload/walk_script.h"

#include <cstring>

namespace {

WalkScript *recording = nullptr;

int record_report(const CommandReport &report, double timeout_seconds)
{
    if (recording->count >= recording->room)
        return 0;  // the walk ends as not delivered
    PlayStep &step = recording->steps[recording->count++];
    step = PlayStep{};
    static_assert(sizeof step.report == REPORT_SIZE);
    std::memcpy(step.report, report.bytes.data(), REPORT_SIZE);
    step.length = REPORT_SIZE;
    step.limit_ms = uint32_t(timeout_seconds * 1000.0);
    recording->reports.push_back(report_in_hand);
    return 1;
}

int all_delivered()
{
    return 1;
}

// A pause follows the delivery of the report before it.
void record_pause(double seconds)
{
    if (recording->count > 0)
        recording->steps[recording->count - 1].pause_after += seconds;
}

// The walk says a block is under way once its first data report is taken,
// that is once every report before that one is delivered.
void record_block(int32_t address, int32_t length)
{
    recording->blocks.push_back(BlockMark{recording->count - 1, address, length});
}

constexpr UploadTransport RECORDER{record_report, all_delivered, record_pause, record_block, nullptr};

}  // namespace

int walk_step_count(const UploadPlan &plan)
{
    if (plan.block_size <= 0 || plan.block_size > MAX_BLOCK_SIZE || plan.block_size % DATA_CHUNK != 0)
        return 0;
    // begin, finish, start-application, and per block its address, its
    // length, its data and its block-done
    return 3 + blocks_to_send(plan) * (3 + plan.block_size / DATA_CHUNK);
}

namespace {

void start_recording(WalkScript &script, PlayStep *room, int room_steps)
{
    script = WalkScript{room, 0, room ? room_steps : 0, {}, {}};
    script.reports.reserve(size_t(script.room));
    recording = &script;
}

}  // namespace

int walk_record(const UploadPlan &plan, WalkScript &script, PlayStep *room, int room_steps)
{
    start_recording(script, room, room_steps);
    const UploadEnd end = upload_image(RECORDER, plan);
    recording = nullptr;
    return end == UPLOAD_DONE;
}

int walk_record_start(WalkScript &script, PlayStep *room, int room_steps)
{
    start_recording(script, room, room_steps);
    report_in_hand = ReportInHand{CMD_START_APPLICATION, -1, 0, 0};
    const UploadEnd end = start_application(RECORDER);
    recording = nullptr;
    return end == UPLOAD_DONE;
}

WriteTrouble write_trouble()
{
    switch (device_send_failure()) {
    case HID_WRITE_LATE:
        return WRITE_NO_ANSWER;
    case HID_WRITE_GONE:
    case HID_WRITE_UNPLUGGED:
        return WRITE_BOARD_GONE;
    case HID_WRITE_HOST_STALLED:
        return WRITE_HOST_BUSY;
    default:
        return WRITE_OTHER;
    }
}
