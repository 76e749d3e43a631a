/* A program with contents in every space that avr-gcc writes: .text with
   data in program memory (.progmem), initialised .data (placed after .text
   in the flash), .bss, a bootloader section placed high in the flash by the
   link, and the EEPROM, fuses and lock bits that the flash must not get. */
#include <avr/eeprom.h>
#include <avr/fuse.h>
#include <avr/io.h>
#include <avr/lock.h>
#include <avr/pgmspace.h>

const char message[] PROGMEM = "quorvel: a string in program memory";
const uint16_t table[16] PROGMEM = {1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 610, 987, 1597};
uint8_t settings[8] EEMEM = {0xA5, 1, 2, 3, 4, 5, 6, 7};
FUSES = {.low = 0xFF, .high = 0xD8, .extended = 0xCB};
LOCKBITS = 0xFC;
volatile uint8_t counters[13] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0xFF, 0x00, 0x5A};
volatile uint8_t zeroed[32];

__attribute__((section(".bootloader"), noinline)) void boot_section(uint8_t value)
{
    PORTB = value;
    DDRB = value ^ 0xFF;
}

int main(void)
{
    for (;;) {
        uint8_t i = counters[0] & 15;
        PORTB = pgm_read_byte(&message[i]) + (uint8_t)pgm_read_word(&table[i]) + eeprom_read_byte(&settings[i & 7]) +
                zeroed[i];
        counters[1]++;
        boot_section(counters[2]);
    }
}
