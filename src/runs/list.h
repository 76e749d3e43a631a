// -list: the present HID interfaces, for people or (with -json) programs.
#pragma once

// Prints one line per present HID interface, tab-separated: path, vid:pid,
// "match" when the IDs are those of -usb= (else "-"), the product name, the
// serial number and the location (each possibly empty); with -json, one
// JSON array of them. Ends the process with status 0.
[[noreturn]] void run_list();
