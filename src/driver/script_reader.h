#pragma once

// Reads the script named by settings.scriptFileName: stores the defaults, then what
// every line says, echoing each command. Ends the process through fatalStop when the
// script cannot be opened or names too many images.
void readScript();

// Largest magnitude accepted for a shift range, a block size or a grid spacing, and for a
// reference point given in the script. Larger values are refused with a message naming
// the line; they could only overflow the searches' arithmetic.
constexpr int kMaxScriptShift = 65535;
constexpr int kMaxScriptPoint = 1000000;
constexpr float kMaxScriptAngleDegrees = 360.0f;
