// libFuzzer target for the input reader: each input is written to a file and
// read by readdata() in this process. A run must end in one of three ways: a
// complete read that leaves the data model consistent, a stop with one
// free-form line on standard output, or the memory diagnostic. Anything else
// (a crash, a sanitizer report, a broken model, other output) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "analysis/readdata.h"
#include "analysis/variables.h"
#include "platform/platform.h"

namespace {

// Small enough that huge counts end quickly as the memory diagnostic and that
// no input can make the reader touch much memory.
constexpr std::size_t allocation_limit = std::size_t{1} << 16;

void require(bool condition) {
    if (!condition) __builtin_trap();
}

const std::string& input_path() {
    static const std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                    "/tuvamo-fuzz-" + std::to_string(getpid()) + ".in";
    return path;
}

// The invariants that a complete read leaves behind.
void check_model() {
    const Variables& v = variables;
    require(v.numpermut >= 0 && v.numpermut <= 10000000);
    require(v.outpermresult == 0 || v.outpermresult == 1);
    require(v.individ == 0 || v.individ == 1);
    require(v.idum <= 0);
    require(v.misdata == 127);
    require(v.numpop >= 2 && v.numloci >= 1);
    const auto loci = static_cast<std::size_t>(v.numloci);
    require(v.locpop(0) == 0);
    for (std::ptrdiff_t p = 1; p <= v.numpop; ++p) {
        require(v.smplsize(p) >= 2);
        require(v.locpop(p) == v.locpop(p - 1) + v.smplsize(p));
        const GenoArray& g = v.gtype(p).allele;
        require(g.individuals() == static_cast<std::size_t>(v.smplsize(p)) && g.loci() == loci);
        for (std::size_t l = 1; l <= loci; ++l) {
            const int obs = v.alleleobs(static_cast<std::ptrdiff_t>(l));
            require(obs >= 0 && obs <= 255);
            for (std::size_t i = 1; i <= g.individuals(); ++i) {
                const int a = g(1, i, l), b = g(2, i, l);
                require((a == 127) == (b == 127));
                if (a != 127) require(a >= -128 && a <= obs - 129 && b >= -128 && b <= obs - 129);
            }
        }
    }
    require(v.nindiv == v.locpop(v.numpop));
    require(v.permdata.individuals() == static_cast<std::size_t>(v.nindiv) && v.permdata.loci() == loci);
    require(v.crrtdata.size() == static_cast<std::size_t>(v.numpop));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = input_path();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    require(f != nullptr);
    require(std::fwrite(data, 1, size, f) == size);
    require(std::fclose(f) == 0);

    const char* argv[] = {"Tuvamo", path.c_str()};
    platform::set_command_line(2, argv);
    platform::set_allocation_limit(allocation_limit);
    variables = Variables{};
    variables.idum = 0;  // the stream's word, which the assignment leaves alone

    std::string out;
    int status = -1;
    platform::capture_output(&out);
    try {
        readdata();
    } catch (const platform::RunStop& stop) {
        status = stop.status;
    }
    platform::capture_output(nullptr);

    if (status == -1) {
        require(out.empty());
        check_model();
    } else if (status == platform::status_data_error) {
        require(out.size() >= 2 && out[0] == ' ' && out.find('\n') == out.size() - 1);
    } else {
        require(status == platform::status_fatal && out.empty());
    }
    variables = Variables{};
    return 0;
}
