// Correlation of Hs and Gst across loci, and the regression of Gst on Hs.
#pragma once

// Pearson's r of (hs, gst) over the loci whose Hs is not negative, its t-test
// probability, and the regression line gst = a + b * hs.
void correlate(float& r, float& probt, float& a, float& b);
