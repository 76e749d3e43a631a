#!/bin/sh
# Builds test programs with avr-gcc for one part of each flash size, and
# each one's HEX file as avr-objcopy writes it for a flasher (the EEPROM,
# fuse, lock and signature sections removed).
#   elf_programs.sh OUTPUT_DIR PROGRAM.c...
# OUTPUT_DIR/programs.txt lists "PART NAME" for each NAME.elf and NAME.hex.
set -eu
out=$1
shift
mkdir -p "$out"
list="$out/programs.txt.new"
: >"$list"
# A part of each size, and where its bootloader section goes: 4 KiB below
# the top of the flash, or on a 128 KiB part below the 8 KiB that its
# bootloader may take (above 64 KiB: read with -above64k).
for row in atmega8u2:0x1000 atmega16u2:0x3000 atmega32u4:0x7000 at90usb646:0xF000 at90usb1287:0x1C000; do
  part=${row%%:*}
  boot=${row#*:}
  for program in "$@"; do
    name=$(basename "$program" .c)-$part
    avr-gcc -mmcu="$part" -DF_CPU=16000000UL -Os -Wall -Wl,--section-start=.bootloader="$boot" \
      -o "$out/$name.elf" "$program"
    avr-objcopy -O ihex -R .eeprom -R .fuse -R .lock -R .signature -R .user_signatures \
      "$out/$name.elf" "$out/$name.hex"
    avr-nm -S --defined-only "$out/$name.elf" >"$out/$name.nm"
    echo "$part $name" >>"$list"
  done
done
mv "$list" "$out/programs.txt"
