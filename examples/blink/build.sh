#!/bin/sh
# Rebuilds blink.hex from blink.c with Debian's gcc-avr, avr-libc and binutils-avr.
#   ./build.sh          build blink.hex
#   ./build.sh flash    build it, then write it into the board with quorvel
#                       (from blink.elf, as the link wrote it, with no HEX step):
#                       press the board's reset button within 30 s, or set
#                       PORT to the running board's serial port (/dev/ttyACM0)
#                       for quorvel to reset it. QUORVEL names the program
#                       (default: quorvel on PATH), USB_IDS the bootloader's IDs.
set -e
cd "$(dirname "$0")"
avr-gcc -mmcu=atmega32u4 -DF_CPU=16000000UL -Os -Wall -o blink.elf blink.c
# blink.hex, in the tree, for tools that read only Intel HEX.
avr-objcopy -O ihex -R .eeprom blink.elf blink.hex
if [ "$1" = flash ]; then
  status=0
  "${QUORVEL:-quorvel}" -mmcu=atmega32u4 -usb="${USB_IDS:-0x5e1a:0x0001}" -w=30 ${PORT:+-touch=$PORT} blink.elf ||
    status=$?
  rm -f blink.elf
  exit $status
fi
rm -f blink.elf
