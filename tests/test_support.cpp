#include "tests/test_support.h"

#include <xmmintrin.h>

#include <algorithm>
#include <cstdlib>

#include "analysis/variables.h"
#include "numerics/random.h"
#include "platform/platform.h"

void reset_program_state() {
    variables = Variables{};
    reset_random_state();
}

StepResult run_captured(const std::function<void()>& step) {
    StepResult result;
    platform::capture_output(&result.out);
    try {
        step();
        platform::commit_results();  // the result files that the step wrote
    } catch (const platform::RunStop& stop) {
        platform::discard_results();
        result.status = stop.status;
    } catch (...) {
        platform::capture_output(nullptr);
        throw;
    }
    platform::capture_output(nullptr);
    return result;
}

void set_arguments(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"Tuvamo"};
    for (const auto& a : args) argv.push_back(a.c_str());
    platform::set_command_line(static_cast<int>(argv.size()), argv.data());
}

void load_genotypes(const std::vector<Population>& pops, std::vector<int> alleleobs) {
    Variables& v = variables;
    v.numpop = static_cast<std::int32_t>(pops.size());
    v.numloci = static_cast<std::int32_t>(pops.at(0).at(0).size());
    const auto loci = static_cast<std::size_t>(v.numloci);
    v.misdata = 127;
    v.smplsize.allocate(1, pops.size());
    v.gtype.allocate(1, pops.size());
    v.alleleobs.allocate(1, loci, 0);
    v.locusid.allocate(1, loci);
    for (std::size_t l = 1; l <= loci; ++l) {
        LocusText id;
        id.fill(' ');
        const std::string name = std::string("L").append(std::to_string(l));
        std::copy(name.begin(), name.end(), id.begin());
        v.locusid(static_cast<std::ptrdiff_t>(l)) = id;
    }
    std::vector<int> highest(loci, -129);
    for (std::size_t p = 0; p < pops.size(); ++p) {
        const auto& pop = pops[p];
        const auto pi = static_cast<std::ptrdiff_t>(p + 1);
        v.smplsize(pi) = static_cast<std::int32_t>(pop.size());
        v.gtype(pi).allele.allocate(pop.size(), loci);
        for (std::size_t i = 0; i < pop.size(); ++i) {
            for (std::size_t l = 0; l < loci; ++l) {
                auto [x, y] = pop[i].at(l);
                v.gtype(pi).allele(1, i + 1, l + 1) = static_cast<allelecode>(x);
                v.gtype(pi).allele(2, i + 1, l + 1) = static_cast<allelecode>(y);
                if (x != 127) highest[l] = std::max(highest[l], std::max(x, y));
            }
        }
    }
    for (std::size_t l = 0; l < loci; ++l)
        v.alleleobs(static_cast<std::ptrdiff_t>(l + 1)) =
            alleleobs.empty() ? highest[l] + 129 : alleleobs[l];
    v.nindiv = 0;
    v.locpop.allocate(0, pops.size() + 1);
    v.locpop(0) = 0;
    for (std::size_t p = 1; p <= pops.size(); ++p) {
        const auto pi = static_cast<std::ptrdiff_t>(p);
        v.locpop(pi) = v.locpop(pi - 1) + v.smplsize(pi);
    }
    v.nindiv = v.locpop(static_cast<std::ptrdiff_t>(pops.size()));
    v.crrtdata.allocate(1, pops.size());
    v.permdata.allocate(static_cast<std::size_t>(v.nindiv), loci);
}

std::vector<int> codes(std::ptrdiff_t p, std::size_t l) {
    const GenoArray& g = variables.gtype(p).allele;
    std::vector<int> out;
    for (std::size_t i = 1; i <= g.individuals(); ++i) {
        out.push_back(g(1, i, l));
        out.push_back(g(2, i, l));
    }
    return out;
}

void set_locus_results(const std::vector<float>& hs, const std::vector<float>& gst, int seed) {
    reset_program_state();
    variables.idum = seed > 0 ? -seed : seed;
    variables.numloci = static_cast<std::int32_t>(hs.size());
    variables.hs.allocate(1, hs.size());
    variables.gst.allocate(1, gst.size());
    for (std::size_t l = 0; l < hs.size(); ++l) {
        variables.hs(static_cast<std::ptrdiff_t>(l + 1)) = hs[l];
        variables.gst(static_cast<std::ptrdiff_t>(l + 1)) = gst[l];
    }
}

AllocationLimit::AllocationLimit(std::size_t bytes) { platform::set_allocation_limit(bytes); }
AllocationLimit::~AllocationLimit() { platform::set_allocation_limit(0); }

EnvironmentVariable::EnvironmentVariable(std::string name) : name_(std::move(name)) {
    if (const char* value = std::getenv(name_.c_str())) old_ = value;
}
EnvironmentVariable::~EnvironmentVariable() {
    if (old_)
        setenv(name_.c_str(), old_->c_str(), 1);
    else
        unsetenv(name_.c_str());
}
void EnvironmentVariable::set(const std::string& value) { setenv(name_.c_str(), value.c_str(), 1); }
void EnvironmentVariable::unset() { unsetenv(name_.c_str()); }

FloatingPointMode::FloatingPointMode(bool flush_to_zero) : saved_(_mm_getcsr()) {
    if (flush_to_zero)
        platform::set_fp_mode();
    else
        _mm_setcsr(saved_ & ~(_MM_FLUSH_ZERO_ON | 0x0040u));  // 0x0040: denormals are zero
}
FloatingPointMode::~FloatingPointMode() { _mm_setcsr(saved_); }
