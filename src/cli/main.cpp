// quorvel: writes an Intel HEX file into an AVR microcontroller that runs a
// USB HID bootloader.

#include "cli/all_boards.h"
#include "cli/console.h"
#include "cli/options.h"
#include "hid/hid_device.h"
#include "image/firmware_image.h"
#include "image/hex_reader.h"
#include "upload/upload.h"

#include <cstdio>

namespace {

// Whether -list marks the device as a match: it has the IDs of -usb=.
bool listed_as_match(const HidDeviceInfo &device)
{
    bool have_ids = run_options.vendor_id != 0 || run_options.product_id != 0;
    return have_ids &&
           device_filter_passes(
               DeviceFilter{true, run_options.vendor_id, run_options.product_id, nullptr, nullptr}, device);
}

// -list -json: one JSON array of the devices.
void print_device_array(const std::vector<HidDeviceInfo> &devices)
{
    std::string text = "[";
    for (const HidDeviceInfo &device : devices) {
        bool match = listed_as_match(device);
        char ids[80];
        std::snprintf(ids, sizeof ids, ",\"vendor_id\":\"%04x\",\"product_id\":\"%04x\",\"match\":%s",
                      unsigned(device.vendor_id), unsigned(device.product_id), match ? "true" : "false");
        if (text.size() > 1)
            text += ',';
        // Appended piece by piece: g++ 12 warns wrongly about "literal" + string.
        text.append("{\"path\":").append(json_string(device.path)).append(ids);
        text.append(",\"name\":").append(json_string(device.name));
        text.append(",\"serial\":").append(json_string(device.serial));
        text.append(",\"location\":").append(json_string(device.location)).append("}");
    }
    std::printf("%s]\n", text.c_str());
}

// Prints one line per present HID interface, tab-separated: path, vid:pid,
// "match" when the IDs are those of -usb= (else "-"), the product name, the
// serial number and the location (each possibly empty).
[[noreturn]] void list_devices()
{
    std::vector<HidDeviceInfo> devices = device_list();
    if (run_options.json) {
        print_device_array(devices);
        end_process(0);
    }
    if (devices.empty())
        std::puts("No HID devices found");
    for (const HidDeviceInfo &device : devices) {
        // The name comes from the device: keep the line a line, the fields fields.
        bool match = listed_as_match(device);
        std::printf("%s\t%04x:%04x\t%s\t%s\t%s\t%s\n", printable(device.path).c_str(),
                    unsigned(device.vendor_id), unsigned(device.product_id), match ? "match" : "-",
                    printable(device.name).c_str(), printable(device.serial).c_str(),
                    printable(device.location).c_str());
    }
    end_process(0);
}

// Loads the HEX file; a file that cannot be loaded, or that holds nothing to
// write, ends the run before any device is touched.
int32_t load_firmware(const char *path)
{
    std::string shown = printable(path);
    int32_t count = load_hex_file(path);
    if (count < 0)
        fail("error reading intel hex file \"%s\"\n%s", shown.c_str(),
             printable(hex_read_report.problem).c_str());
    if (!firmware_image.end_record_seen)
        std::fprintf(stderr, "quorvel: warning: \"%s\" has no end-of-file record: it may be cut short\n",
                     shown.c_str());
    if (hex_read_report.text_after_end)
        std::fprintf(stderr,
                     "quorvel: warning: \"%s\": text after the end-of-file record is ignored (two files "
                     "joined together?)\n",
                     shown.c_str());
    // An upload of an empty image would erase the application and report success.
    if (!image_range_used(0, IMAGE_SIZE - 1))
        fail("\"%s\" holds no data: there is nothing to write\n", shown.c_str());
    return count;
}

}  // namespace

int main(int argc, char **argv)
{
    guard_standard_streams();
    read_arguments(argc, argv);
    if (run_options.list)
        list_devices();
    if (!run_options.hex_path) {
        std::fputs("Filename must be specified\n\n", stderr);
        print_usage();
    }
    if (run_options.code_size == 0) {
        std::fputs("MCU type must be specified\n\n", stderr);
        print_usage();
    }

    if (run_options.all && run_options.touch_port)
        fail("quorvel: -touch= resets one board: it cannot be combined with -all\n");

    if (!run_options.json)
        std::printf("\n%s%s", BANNER_LINE, AUTHOR_LINE);

    const char *path = run_options.hex_path;
    int32_t count = load_firmware(path);
    log_verbose("Read \"%s\": %d bytes, %.1f%% usage\n", printable(path).c_str(), count,
                double(count) / double(run_options.code_size) * 100.0);

    // Data beyond the flash of the selected part would be dropped without a
    // word: refuse before any device is touched.
    if (run_options.code_size < IMAGE_SIZE && image_range_used(run_options.code_size, IMAGE_SIZE - 1))
        fail("Firmware does not fit in the flash of the selected MCU\n");

    if (run_options.dry_run)
        run_dry_run();
    if (run_options.all)
        run_all_boards(argc, argv);
    run_upload();
}
