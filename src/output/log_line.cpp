// One line of the -log= file: which firmware went into which board, and how it ended.
#include "output/log_line.h"

#include "output/json_line.h"

#include <string>

using namespace event_json;

std::string log_line_text(const LogLine &line)
{
    Json entry{{"time", line.time}};
    entry["serial"] = line.serial;
    entry["location"] = line.location;
    entry["path"] = line.path;
    entry["vendor_id"] = hex_id(line.vendor_id);
    entry["product_id"] = hex_id(line.product_id);
    entry["file"] = line.file;
    entry["sha256"] = line.file_sha256;
    entry["image_sha256"] = line.image_sha256;
    if (!line.stamp.empty())  // only when stamping: other lines stay as they were
        entry["stamp"] = line.stamp;
    entry["mcu"] = line.mcu;
    entry["result"] = line.result;
    entry["seconds"] = hundredths(line.seconds);
    entry["version"] = line.version;
    if (const ApplicationSeen *app = line.application) {
        Json seen{{"vendor_id", hex_id(app->vendor_id)}};
        seen["product_id"] = hex_id(app->product_id);
        seen["product"] = app->product;
        seen["serial"] = app->serial;
        seen["seconds"] = hundredths(app->seconds);
        entry["application"] = seen;
    }
    // Last, and only where there is one: an upload's line stays as it was.
    if (!line.kind.empty())
        entry["kind"] = line.kind;
    return line_text(entry);
}
