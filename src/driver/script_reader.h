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

// Finest steps accepted; finer ones are refused the same way. The angle refinement narrows
// its bracket by thirds until it is at most half the resolution, and the fractional block
// search adds the step to a single-precision offset until it passes the maximum: single
// precision spaces angles up to 360 degrees 2^-21 radian (0.00003 degree) apart and offsets
// up to 65,535 pixels 2^-8 pixel apart, so a finer step could never be reached and the
// search would never end.
constexpr float kMinScriptAngleResolutionDegrees = 0.0001f;
constexpr float kMinScriptBlockStep = 0.01f;
