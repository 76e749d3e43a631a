#!/bin/sh
# Rebuilds blink.hex from blink.c with Debian's gcc-avr, avr-libc and binutils-avr.
set -e
cd "$(dirname "$0")"
avr-gcc -mmcu=atmega32u4 -DF_CPU=16000000UL -Os -Wall -o blink.elf blink.c
avr-objcopy -O ihex -R .eeprom blink.elf blink.hex
rm -f blink.elf
