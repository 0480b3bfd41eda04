#include "analysis/driver.h"

int main(int argc, char** argv) { return driver(argc, argv); }
