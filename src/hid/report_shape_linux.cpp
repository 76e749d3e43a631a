// The bootloader's report shape on Linux, from the report descriptor that
// the open hidraw descriptor gives: one 64-byte output report, without
// report IDs. A keyboard, a mouse or any other HID device has another.

#include "hid/report_shape.h"

#include "hid/report_descriptor.h"

#include <linux/hid.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>

std::string report_shape_problem(intptr_t device)
{
    const int fd = int(device);
    int size = 0;
    static hidraw_report_descriptor descriptor;  // 4 KiB: static, like the other buffers
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) != 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE)
        return "the system does not give its report descriptor";
    descriptor.size = uint32_t(size);
    if (ioctl(fd, HIDIOCGRDESC, &descriptor) != 0)
        return "the system does not give its report descriptor";
    if (!descriptor_takes_bootloader_reports(descriptor.value, size_t(size)))
        return "its report descriptor declares no single 64-byte output report without report IDs";
    return "";
}
