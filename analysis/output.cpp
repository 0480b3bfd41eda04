#include "analysis/output.h"

void output1(float, float, float, float, float) {}
void output2() {}
