// The page's entry points into the core, compiled with Emscripten: the same
// HEX reader, MCU table, checks, dry-run figures, upload walk and messages
// as the command line's. The walk awaits each WebHID sendReport through
// Asyncify: the transport below calls the page's JavaScript (quorvel.js),
// which implements the transport contract of upload/protocol.h.
#include "hid/search.h"
#include "image/firmware_file.h"
#include "image/firmware_image.h"
#include "image/mcu_table.h"
#include "output/log_line.h"
#include "output/text.h"
#include "output/version.h"
#include "image/sha256.h"
#include "upload/firmware_checks.h"
#include "upload/protocol.h"
#include "upload/tally.h"
#include "upload/upload_messages.h"

#include <emscripten.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A JSON string for text that the core made printable.
std::string json_text(std::string_view text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string answer;  // the last answer handed to the page
UploadPlan plan{0, 0};        // the part and file loaded last
UploadPlan plan_asked{0, 0};  // the part named last

// The file loaded last, as its boards' log lines name it.
struct LoadedFile {
    std::string name, file_sha256, image_sha256, mcu;
} loaded;

const char *hand_back(const std::string &json)
{
    answer = json;
    return answer.c_str();
}

// A refusal: the message as the command line prints it.
const char *refused(const std::string &message)
{
    return hand_back("{\"ok\":false,\"message\":" + json_text(message) + "}");
}

// The transport's half in the page: each call waits for the page's promise.
EM_ASYNC_JS(int, web_send, (const uint8_t *bytes, int timeout_ms), {
    return await Module.transport.send(HEAPU8.slice(bytes, bytes + 64), timeout_ms);
});
EM_ASYNC_JS(int, web_drain, (), { return await Module.transport.drain(); });
EM_ASYNC_JS(void, web_pause, (double seconds), { await Module.transport.pause(seconds); });
EM_JS(void, web_block_started, (int address, int length), { Module.transport.blockStarted(address, length); });
EM_JS(int, web_trouble, (), { return Module.transport.trouble(); });
EM_JS(char *, web_why, (), { return allocateUTF8(Module.transport.why()); });

int send_report(const CommandReport &report, double timeout_seconds)
{
    return web_send(report.bytes.data(), int(timeout_seconds * 1000 + 0.5));
}
int drain_reports()
{
    return web_drain();
}
void pause_for(double seconds)
{
    web_pause(seconds);
}
void block_started(int32_t address, int32_t length)
{
    web_block_started(int(address), int(length));
}

}  // namespace

extern "C" {

// The part: its flash and block size from -mmcu=NAME, or the command line's
// message for a name it does not know.
EMSCRIPTEN_KEEPALIVE const char *qv_mcu(const char *name)
{
    int32_t code_size = 0, block_size = 0;
    if (!find_mcu(name, code_size, block_size))
        return refused(unknown_mcu_message(printable(name)));
    plan_asked = UploadPlan{code_size, block_size};
    return hand_back("{\"ok\":true,\"code_size\":" + std::to_string(code_size) +
                     ",\"block_size\":" + std::to_string(block_size) + "}");
}

// Reads the firmware file, Intel HEX or ELF (its name as the user gave it,
// its bytes), for this part, with the whole flash of a 128 KiB part when
// `above64k` (as -above64k): the dry run's figures and checksums, or the
// command line's message.
EMSCRIPTEN_KEEPALIVE const char *qv_load(const char *name, const uint8_t *bytes, int size, const char *mcu,
                                         int above64k)
{
    plan = UploadPlan{0, 0};
    const std::string part = qv_mcu(mcu);
    if (part.find("\"ok\":true") == std::string::npos)
        return answer.c_str();
    const UploadPlan wanted = plan_asked;
    if (above64k && wanted.code_size <= IMAGE_SIZE)
        return refused(above64k_refusal(printable(mcu), wanted.code_size));
    image_set_size(above64k ? wanted.code_size : IMAGE_SIZE);
    const char *path = "/firmware";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes), size);
    if (load_firmware_file(path, FirmwareInput{false, 0}) < 0)
        return refused(refused_firmware_file(name, wanted).message);
    Failure problem = check_firmware_device(name, mcu);
    if (!failed(problem))
        problem = check_firmware_has_data(name);
    if (!failed(problem))
        problem = check_firmware_fits(wanted);
    if (!failed(problem))
        problem = check_firmware_clear_of_boot_section(wanted);
    if (failed(problem))
        return refused(problem.message);
    plan = wanted;
    std::string warnings;
    for (const FirmwareWarning &warning : firmware_warnings(name))
        warnings += (warnings.empty() ? "" : ",") + json_text(warning.text);
    const UploadTally t = tally_upload(plan, nullptr);
    const std::string file_sha256 = sha256_of(std::string_view(reinterpret_cast<const char *>(bytes), size_t(size)));
    const std::string image_sha256 = sent_image_sha256(plan);
    const std::string figures = tally_figures_text(t, file_sha256, image_sha256);
    loaded = LoadedFile{name, file_sha256, image_sha256, mcu};
    char numbers[200];
    std::snprintf(numbers, sizeof numbers,
                  "\"blocks\":%d,\"block_size\":%d,\"reports\":%d,\"file_bytes\":%d,\"least_seconds\":%.2f,",
                  t.blocks, t.block_size, t.reports, t.file_bytes, t.least_seconds);
    return hand_back(std::string("{\"ok\":true,") + numbers + "\"file_sha256\":\"" + file_sha256 +
                     "\",\"image_sha256\":\"" + image_sha256 + "\",\"warnings\":[" + warnings +
                     "],\"figures\":" + json_text(figures) + "}");
}

// The -log= line of a board that the page ended, for the file loaded last:
// `result` is "done" or the message that ended it; `time` is UTC, ISO 8601
// to the second. A browser knows no serial number, location or path: those
// fields are left empty, as the command line leaves a field it cannot know.
EMSCRIPTEN_KEEPALIVE const char *qv_log_line(const char *time, int vendor_id, int product_id, const char *result,
                                             double seconds)
{
    const std::string outcome = std::string_view(result) == "done" ? "done" : one_line_outcome(result);
    const LogLine line{time,   "",     "",      "",      uint32_t(vendor_id), uint32_t(product_id), loaded.name,
                       loaded.file_sha256, loaded.image_sha256, loaded.mcu, outcome, seconds, VERSION, nullptr,
                       "",     ""};
    return hand_back(log_line_text(line));
}

// The message for a device that does not take the bootloader's reports.
EMSCRIPTEN_KEEPALIVE const char *qv_not_bootloader(const char *name, int vendor_id, int product_id)
{
    return hand_back(json_text(not_bootloader_text(name, uint32_t(vendor_id), uint32_t(product_id))));
}

// Sends the image loaded last through the page's transport; awaited by
// the page (Asyncify). The command line's message when it does not end well.
EMSCRIPTEN_KEEPALIVE const char *qv_upload()
{
    if (plan.code_size == 0)
        return refused("No firmware loaded\n");
    const UploadTransport transport{send_report, drain_reports, pause_for, block_started, nullptr};
    const int blocks = blocks_to_send(plan);
    switch (upload_image(transport, plan)) {
    case UPLOAD_DONE:
        return hand_back("{\"ok\":true,\"blocks\":" + std::to_string(blocks) + "}");
    case UPLOAD_STOPPED:
        return refused(interrupted_failure(report_in_hand.blocks_done, blocks, report_in_hand.stop_signal).message);
    case UPLOAD_NOT_DELIVERED:
        break;
    }
    char *why = web_why();
    const Failure failure = not_delivered_failure(report_in_hand, WriteTrouble(web_trouble()), why);
    std::free(why);
    return refused(failure.message);
}

}  // extern "C"
