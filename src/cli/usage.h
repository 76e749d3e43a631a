// The usage text: what -h and --help show, and what follows a missing file
// or MCU.
#pragma once

#include <cstdio>

// Writes the usage text to `out`.
void write_usage(FILE *out);
