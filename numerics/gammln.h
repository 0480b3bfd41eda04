// Natural logarithm of the Gamma function.
#pragma once

// ln Gamma(xx) for xx > 0 by Lanczos's approximation, computed in double
// precision and rounded to single precision.
float gammln(float xx);
