#include "analysis/driver.h"

#include <new>
#include <string>
#include <string_view>

#include "analysis/computegst.h"
#include "analysis/correlate.h"
#include "analysis/output.h"
#include "analysis/permutationtest.h"
#include "analysis/permute.h"
#include "analysis/readdata.h"
#include "analysis/resultnames.h"
#include "analysis/variables.h"
#include "platform/platform.h"

namespace {

void (*step_observer)(std::string_view) = nullptr;

void message(std::string_view text) {
    if (step_observer) step_observer(text);
    platform::out(text);
    platform::out_end_line();
    platform::out_flush();
}

void run() {
    // The five numbers that pass from the correlation steps to the summary file.
    float r, probt, a, b, pperm;

    message("Reading data/parameters...");
    readdata();
    // Every result file is named and can be written before the work starts.
    prepareresults();
    if (const std::string name = platform::result_that_is_input(); !name.empty()) {
        message("The result file " + name + " is the input file!");
        platform::stop(platform::status_data_error);
    }

    message("Computing Gst, Hs of original data...");
    computegst(1, 1, variables.numloci);

    message("Computing correlation between Gst & Hs of original data...");
    correlate(r, probt, a, b);

    // Always runs, and always before the permutation of individuals: both draw
    // from the one random stream, this step first.
    message("Permutating Gst & Hs among loci for correlation significance test...");
    permutationtest(pperm, r);

    // Each permutation of individuals overwrites ht, hs and gst.
    copyresult();

    if (variables.numpermut > 0) {
        message("Permutating individuals among populations for Gst significance test per locus...");
        permute();
        if (variables.outpermresult == 1) {
            message("Outputing individual permutation results...");
            output2();
        }
    }

    message("Outputing analysis results...");
    output1(r, probt, a, b, pperm);
    commitresults();

    message("Analysis completed!");
}

}  // namespace

void copyresult() {
    const auto n = static_cast<std::size_t>(variables.numloci);
    variables.gst_t.allocate(1, n);
    variables.hs_t.allocate(1, n);
    variables.ht_t.allocate(1, n);
    for (std::size_t l = 1; l <= n; ++l) {
        const auto i = static_cast<std::ptrdiff_t>(l);
        variables.hs_t(i) = variables.hs(i);
        variables.ht_t(i) = variables.ht(i);
        variables.gst_t(i) = variables.gst(i);
    }
}

int driver(int argc, const char* const* argv, void (*on_step)(std::string_view line)) {
    step_observer = on_step;
    platform::set_command_line(argc, argv);
    int status = platform::status_ok;
    try {
        try {
            platform::set_fp_mode();
            platform::handle_interrupts();
            run();
        } catch (const std::bad_alloc&) {
            platform::out_of_memory();
        }
    } catch (const platform::RunStop& stop) {
        // A run that ends early leaves no result of its own.
        platform::discard_results();
        status = stop.status;
    }
    return platform::end_run(status);
}
