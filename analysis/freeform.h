// Free-form reading of the input file (placeholder).
#pragma once
