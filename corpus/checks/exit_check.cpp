#include "check_kit.h"

#include <stdexcept>

// --- Outside programs -----------------------------------------------------------------------

// An outside program's generic contract: its exit status, and optionally its standard output
// equal to a reference file (given to the check as an input under its own name).
void read_exit(const nlohmann::json &check, const program_t &, check_spec_t &s) {
    auto status = check.find("status");
    if (status == check.end() || !status->is_number_integer() || *status < 0 || *status > 255)
        throw std::runtime_error("check parameter \"status\" must be an exit status 0 to 255");
    if (check.contains("stdout") &&
        (!check["stdout"].is_string() || check["stdout"].get<std::string>().empty()))
        throw std::runtime_error("check parameter \"stdout\" must name a file");
    s.status = status->get<int>();
    s.stdout_file = check.value("stdout", "");
}

void check_exit_status(check_result_t &c, const program_t &p, const run_output_t &r,
                       const output_lines_t &out) {
    const int want = p.check.status;
    if (r.timed_out)
        fail(c, "did not finish within its time limit");
    else if (!r.exited)
        fail(c, "killed by signal " + std::to_string(r.signal));
    else if (r.status != want)
        fail(c, "exit status " + std::to_string(r.status) + ", expected " + std::to_string(want));
    c.markers = "-";
    if (!p.check.stdout_file.empty()) {
        const std::string &name = p.check.stdout_file;
        const std::string *text = whole_output(c, r, out);
        const bool same = text && *text == input(r, name);
        if (text && !same)
            fail(c, "standard output differs from " + name);
        c.outputs = same ? "stdout as " + name : "stdout wrong";
    }
}
