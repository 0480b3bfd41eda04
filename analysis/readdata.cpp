#include "analysis/readdata.h"

#include "analysis/variables.h"
#include "platform/platform.h"

void readdata() { stopondataerror("The input file does not exist!"); }

[[noreturn]] void stopondataerror(std::string_view message) {
    platform::out_freeform_line(message);
    platform::stop(platform::status_data_error);
}
