// The input file reader: run parameters, locus IDs and genotypes, read value by
// value in free form, validated and coded into the shared data model.
#pragma once

#include <string_view>

// Reads the input file named by the first command-line argument (or
// "Tuvamo.InFile") and fills the shared data model. Returns only after a complete,
// valid input; any error in the input stops the run with its one-line message.
void readdata();

// Writes the message, without its leading and trailing blanks, as one free-form
// line on standard output and stops the run as a data error.
[[noreturn]] void stopondataerror(std::string_view message);
