// SPDX-License-Identifier: MIT
// The subset of the wiringPi API the tool uses, with the real library's prototypes,
// so that the same sources build against this layer or against libwiringPi.
#ifndef TERUNA_WIRINGPI_H
#define TERUNA_WIRINGPI_H

#define LOW 0
#define HIGH 1

#define INPUT 0
#define OUTPUT 1

#ifdef __cplusplus
extern "C" {
#endif

int wiringPiSetup(void);
void pinMode(int pin, int mode);
void digitalWrite(int pin, int value);
void delayMicroseconds(unsigned int howLong);
int piHiPri(const int pri);

#ifdef __cplusplus
}
#endif

#endif
