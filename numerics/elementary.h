// Natural logarithm and exponential built from IEEE additions, multiplications
// and divisions alone, so that they give the same bits on every platform and
// compiler (the C libraries' log and exp differ in their last bits between
// Linux and Windows, and every result of the program must not).
#pragma once

// ln x: -infinity at 0 (a subnormal counts as 0), NaN below 0 and for NaN,
// +infinity at +infinity. Error below one unit in the last place.
double ln(double x);

// e^x: +infinity above about 709.78, 0 below about -745.13, NaN for NaN.
// Error below one unit in the last place.
double expo(double x);

// The single-precision functions: the double result rounded to float.
float lnf(float x);
float expof(float x);
