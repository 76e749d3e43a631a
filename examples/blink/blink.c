/*
 * blink: the smallest useful firmware for an ATmega32U4 board. It toggles
 * the LED on PC7 (the on-board LED of most 32U4 boards) twice a second.
 * Used as real toolchain output in quorvel's tests; see build.sh.
 */
#include <avr/io.h>
#include <util/delay.h>

int main(void)
{
    DDRC |= _BV(PC7);
    for (;;) {
        PORTC ^= _BV(PC7);
        _delay_ms(250);
    }
}
