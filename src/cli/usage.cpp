// The usage text, as -h shows it.
#include "cli/usage.h"

#include "output/version.h"

void write_usage(FILE *out)
{
    std::fputs("Usage: quorvel -mmcu=<MCU> [-v] -usb=<vid:pid> <file.hex>\n"
               "\t-v : Verbose output\n"
               "\n<MCU> = atmegaXXuY or at90usbXXXY"
               "\n<vid:pid> = vid:pid of HID device in hex (eg. -usb=0x5e1a:0x0001)"
               "\n",
               out);
    std::fputs(BANNER_LINE, out);
    std::fputs(AUTHOR_LINE, out);
    std::fputs(
        "\nFor support and more information, please visit:\n"
        "https://example.org/quorvel\n"
        "\nBuilt on the Linux hidraw interface, the Windows HID class library and the C++ standard library\n"
        "https://docs.kernel.org/hid/hidraw.html\n",
        out);
    std::fputs("\nMore options:\n"
               "\t-n : Dry run: read the file and show what would be sent, without a device\n"
               "\tThe file is Intel HEX, or the ELF file that avr-gcc linked (found by its content;\n"
               "\t  ELF firmware built for another part than -mmcu= is refused)\n"
               "\t-binary[=<base>] : The file is a raw binary, written from flash address <base>\n"
               "\t                   (0 unless given; decimal or 0x hex, eg. -binary=0x1000)\n"
               "\t-w : Wait for the bootloader to appear (press the board's reset button)\n"
               "\t-w=<seconds> : Wait for it at most this long (for scripts and IDEs)\n"
               "\t-h, --help : Show this text\n"
               "\t--version : Show the version\n"
               "\t-list : List the HID devices: path, vid:pid, \"match\" or \"-\", name, serial number,\n"
               "\t        location (tab-separated)\n"
               "\t-doctor : Check, one line each, what flashing needs here: the node, this user's access,\n"
               "\t          the udev rule, the lock, the report shape; the fix for each problem.\n"
               "\t          Status 0 only when a board can be flashed now (eg. quorvel -doctor -usb=5e1a:0001)\n"
               "\t-device=<path> : Use the HID device at this path (one of identical boards); with -usb=\n"
               "\t                 its IDs must match too. Only a HID device is ever written to\n"
               "\t-serial=<text> : Only the device with this USB serial number (see -list)\n"
               "\t-location=<port> : Only the device plugged in at this USB port, such as 1-2.3 (see -list)\n"
               "\t-all : Program every matching board at once; one line per board at the end\n"
               "\t-all=<n> : The same for exactly n boards (with -w, wait until n are present)\n"
               "\t-json : Standard output carries only JSON events, one object per line, for programs\n"
               "\t-touch=<port> : First reset the running board into its bootloader through its USB\n"
               "\t                serial port (1200 baud), then wait for it (5 s, or -w=<seconds>)\n"
               "\t-station : Program each matching board as it appears, once, until Ctrl-C; a board\n"
               "\t           is written again only after it went away and came back\n"
               "\t-station=<n> : The same, ending after n boards\n"
               "\t-log=<file> : Append one JSON line per board programmed: board, firmware\n"
               "\t              SHA-256, result (also for single runs and -all)\n"
               "\t-expect-app[=<vid:pid>] : Then wait until the application appears at the board's\n"
               "\t              USB port (5 s, or -w=<seconds>), with these IDs if given; fail if the\n"
               "\t              bootloader stays or nothing else appears (eg. -expect-app=0x5e1a:0x0100)\n"
               "\t-boot : Only start the application already in the flash of a board in its\n"
               "\t        bootloader; nothing is written, no file or -mmcu= is needed\n"
               "\t        (eg. quorvel -boot -usb=0x5e1a:0x0001)\n"
               "\t-above64k : Write a file above 64 KiB into a part with 128 KiB of flash, such as the\n"
               "\t            at90usb1287; data in its top 8 KiB, the bootloader's, is refused\n"
               "\t-stamp=<addr>,<format> : Write each board's own value at this flash address, in\n"
               "\t              u16le u32le u64le u16be u32be u64be ascii:<n> utf16le:<n> (n bytes)\n"
               "\t              (eg. -stamp=0x7F00,u32le); the values from one of:\n"
               "\t-stamp-from=<n>[,<step>] : A counter from n (needs -stamp-state=)\n"
               "\t-stamp-list=<file> : One value a line, in order (blank and # lines skipped)\n"
               "\t-stamp-state=<file> : The file that keeps the next value, locked while a value is\n"
               "\t              taken: runs that share it never give a value twice (a list's\n"
               "\t              default: <file>.state beside it)\n",
               out);
}
