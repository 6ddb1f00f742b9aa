#pragma once

// The common fatal stop. The caller has printed its own message. Prints the two fixed
// lines, waits for one character on standard input and aborts without closing files.
[[noreturn]] void fatalStop();
