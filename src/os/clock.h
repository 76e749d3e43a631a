// The clock: pauses to the millisecond.
#pragma once

// Sleeps for the given seconds, to the millisecond (truncated), through signals.
void pause_seconds(double seconds);
