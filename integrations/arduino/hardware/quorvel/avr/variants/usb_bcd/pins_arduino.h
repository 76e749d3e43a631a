/*
  Arduino pin map for the small USB parts with ports B, C and D only:
  AT90USB162, ATmega32U2, ATmega16U2 and ATmega8U2 (no ADC, no port E/F).

  Digital pins:
     0 PD2 (RX of Serial1)    8 PB0 (SS)       16 PC2
     1 PD3 (TX of Serial1)    9 PB1 (SCK)      17 PC4
     2 PD0 (INT0, PWM 0B)    10 PB2 (MOSI)     18 PC5 (PWM 1B)
     3 PD1 (INT1)            11 PB3 (MISO)     19 PC6 (PWM 1A)
     4 PD4                   12 PB4            20 PC7
     5 PD5                   13 PB5
     6 PD6                   14 PB6
     7 PD7                   15 PB7 (PWM 0A)
  LED_BUILTIN is pin 5 (PD5), the TX LED of the common 16U2 designs.
*/
#ifndef Pins_Arduino_h
#define Pins_Arduino_h

#include <avr/pgmspace.h>

#define NUM_DIGITAL_PINS 21
#define NUM_ANALOG_INPUTS 0

#define TX_RX_LED_INIT
#define TXLED0
#define TXLED1
#define RXLED0
#define RXLED1

#define LED_BUILTIN 5

#define PIN_SPI_SS (8)
#define PIN_SPI_SCK (9)
#define PIN_SPI_MOSI (10)
#define PIN_SPI_MISO (11)
static const uint8_t SS = PIN_SPI_SS;
static const uint8_t SCK = PIN_SPI_SCK;
static const uint8_t MOSI = PIN_SPI_MOSI;
static const uint8_t MISO = PIN_SPI_MISO;

#define analogInputToDigitalPin(p) (-1)
#define analogPinToChannel(p) (p)

#define digitalPinHasPWM(p) ((p) == 2 || (p) == 15 || (p) == 18 || (p) == 19)

// Pin change interrupts PCINT0-7 are port B.
#define digitalPinToPCICR(p) (((p) >= 8 && (p) <= 15) ? (&PCICR) : ((uint8_t *)0))
#define digitalPinToPCICRbit(p) 0
#define digitalPinToPCMSK(p) (((p) >= 8 && (p) <= 15) ? (&PCMSK0) : ((uint8_t *)0))
#define digitalPinToPCMSKbit(p) ((p) - 8)

#define digitalPinToInterrupt(p) ((p) == 2 ? 0 : ((p) == 3 ? 1 : ((p) == 0 ? 2 : ((p) == 1 ? 3 : NOT_AN_INTERRUPT))))

#ifdef ARDUINO_MAIN

const uint16_t PROGMEM port_to_mode_PGM[] = {
    NOT_A_PORT, NOT_A_PORT, (uint16_t)&DDRB, (uint16_t)&DDRC, (uint16_t)&DDRD,
};

const uint16_t PROGMEM port_to_output_PGM[] = {
    NOT_A_PORT, NOT_A_PORT, (uint16_t)&PORTB, (uint16_t)&PORTC, (uint16_t)&PORTD,
};

const uint16_t PROGMEM port_to_input_PGM[] = {
    NOT_A_PORT, NOT_A_PORT, (uint16_t)&PINB, (uint16_t)&PINC, (uint16_t)&PIND,
};

const uint8_t PROGMEM digital_pin_to_port_PGM[] = {
    PD, PD, PD, PD, PD, PD, PD, PD,
    PB, PB, PB, PB, PB, PB, PB, PB,
    PC, PC, PC, PC, PC,
};

const uint8_t PROGMEM digital_pin_to_bit_mask_PGM[] = {
    _BV(2), _BV(3), _BV(0), _BV(1), _BV(4), _BV(5), _BV(6), _BV(7),
    _BV(0), _BV(1), _BV(2), _BV(3), _BV(4), _BV(5), _BV(6), _BV(7),
    _BV(2), _BV(4), _BV(5), _BV(6), _BV(7),
};

const uint8_t PROGMEM digital_pin_to_timer_PGM[] = {
    NOT_ON_TIMER, NOT_ON_TIMER, TIMER0B, NOT_ON_TIMER, NOT_ON_TIMER, NOT_ON_TIMER, NOT_ON_TIMER, NOT_ON_TIMER,
    NOT_ON_TIMER, NOT_ON_TIMER, NOT_ON_TIMER, NOT_ON_TIMER, NOT_ON_TIMER, NOT_ON_TIMER, NOT_ON_TIMER, TIMER0A,
    NOT_ON_TIMER, NOT_ON_TIMER, TIMER1B, TIMER1A, NOT_ON_TIMER,
};

#endif /* ARDUINO_MAIN */

#define SERIAL_PORT_MONITOR Serial
#define SERIAL_PORT_USBVIRTUAL Serial
#define SERIAL_PORT_HARDWARE Serial1
#define SERIAL_PORT_HARDWARE_OPEN Serial1

#endif
