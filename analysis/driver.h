// The run: the analysis steps in their fixed order.
#pragma once

#include <string_view>

// Saves the observed ht, hs and gst into ht_t, hs_t and gst_t.
void copyresult();

// Runs the program on its command line and returns the exit status: 0 for a
// completed run, 1 for a stop on an error in the input, 2 for a failure of
// the environment (memory, files). `on_step`, when given, is called with each
// step line just before it is written (the benchmark times the steps by it).
int driver(int argc, const char* const* argv, void (*on_step)(std::string_view line) = nullptr);
