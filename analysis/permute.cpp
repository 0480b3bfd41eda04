#include "analysis/permute.h"

void permute() {}
