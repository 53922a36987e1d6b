// How the program does its work: the fast methods on every core, or, in a build configured
// with TERRAPIVOTER_REFERENCE, the plain methods (the polar formulas cell by cell, stdio
// formatting and strtod) on one thread, as the yardstick the fast ones are measured against.
#pragma once

#include "parallel.h"
#include "rotation.h"

Work program_work();

// Rotates `in` into the all-empty `out` of the same size: the plain sweep or the fast one,
// which gives the same grid bit for bit.
void rotate(DoubleGrid in, DoubleGrid out, const RotationParameters& p, Work work);
