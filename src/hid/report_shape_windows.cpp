// The bootloader's report shape from the HID class driver's parsed report
// descriptor: OutputReportByteLength counts one byte for the report ID, also
// when the collection declares none, so 65 alone cannot tell 64 bytes
// without an ID from 64 bytes after ID 1; the output items' report IDs can.

#include "hid/report_shape.h"

#include <windows.h>

// mingw-w64's hidsdi.h does not declare its functions extern "C".
extern "C" {
#include <hidsdi.h>
}

#include <vector>

namespace {

// Whether any output item of the collection belongs to a report with an ID.
bool numbers_output_reports(PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS &caps)
{
    std::vector<HIDP_VALUE_CAPS> values(caps.NumberOutputValueCaps);
    USHORT count = caps.NumberOutputValueCaps;
    if (count && HidP_GetValueCaps(HidP_Output, values.data(), &count, preparsed) == HIDP_STATUS_SUCCESS)
        for (USHORT i = 0; i < count; ++i)
            if (values[i].ReportID != 0)
                return true;
    std::vector<HIDP_BUTTON_CAPS> buttons(caps.NumberOutputButtonCaps);
    count = caps.NumberOutputButtonCaps;
    if (count && HidP_GetButtonCaps(HidP_Output, buttons.data(), &count, preparsed) == HIDP_STATUS_SUCCESS)
        for (USHORT i = 0; i < count; ++i)
            if (buttons[i].ReportID != 0)
                return true;
    return false;
}

}  // namespace

std::string report_shape_problem(intptr_t device)
{
    HANDLE handle = reinterpret_cast<HANDLE>(device);
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(handle, &preparsed))
        return "the system does not give its report descriptor";
    HIDP_CAPS caps{};
    std::string problem;
    if (HidP_GetCaps(preparsed, &caps) != HIDP_STATUS_SUCCESS)
        problem = "the system does not give its report descriptor";
    else if (caps.OutputReportByteLength == 0)
        problem = "it takes no output reports";
    else if (caps.OutputReportByteLength != 65)
        problem = "its output reports hold " + std::to_string(caps.OutputReportByteLength - 1) +
                  (caps.OutputReportByteLength == 2 ? " byte" : " bytes");
    else if (numbers_output_reports(preparsed, caps))
        problem = "its output reports carry report IDs";
    HidD_FreePreparsedData(preparsed);
    return problem;
}
