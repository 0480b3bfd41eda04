#include "analysis/variables.h"

Variables variables;
