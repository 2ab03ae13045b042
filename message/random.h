// The process-wide random number generator: boundaries of MIME messages, message
// identifiers, the delivery threads' random pause. A 32-bit state seeded on first
// use with the current time mixed with a value from the system's random source (so
// that processes started in the same second draw differently); each draw sets
// state = state * 22695477 + 1 (modulo 2^32) and returns bits 12 to 26 of the new
// state. Draws are serialised by a lock, so any thread may draw.
#pragma once

// A number from 0 to 32767.
int TernRandom();
