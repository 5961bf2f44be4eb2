// Every program that ends by itself, with a standard output that cannot take its bytes: full,
// closed, or a pipe nobody reads (SIGPIPE ignored). Each must say so in one line on standard
// error and end with status 1, whatever its threads did.
#include "contract.h"
#include "run_program.h"

#include <gtest/gtest.h>
#include <sstream>

namespace {

struct stdout_case_t {
    const char *name;
    const char *script; // run by /bin/sh with the program's path as $0, its arguments after
    const char *reason; // strerror of the failed write, when the program can still tell
};

const stdout_case_t stdout_cases[] = {
    {"full", "exec \"$0\" \"$@\" > /dev/full", "No space left on device"},
    {"closed", "exec \"$0\" \"$@\" >&-", "Bad file descriptor"},
    // The reader end is closed before the program starts; the program's status goes to a file,
    // since the pipeline's own is the reader's.
    {"unread_pipe",
     "mkfifo ready && trap '' PIPE && { read go < ready; \"$0\"; echo $? > status; } | "
     "{ exec <&-; echo > ready; }",
     "Broken pipe"},
};

void PrintTo(const stdout_case_t &c, std::ostream *os) {
    *os << c.name;
}

std::vector<std::string> checked_programs() {
    std::vector<std::string> names;
    std::istringstream list(STDOUT_CHECKED_PROGRAMS);
    for (std::string name; std::getline(list, name, ',');)
        names.push_back(name);
    return names;
}

// Runs `program` by `c.script` in a directory seeded with the shipped inputs.
run_result_t run_with_stdout(const std::string &program, const stdout_case_t &c,
                             run_options_t o = {}) {
    o.args.insert(o.args.begin(), {"-c", c.script, program_path(program)});
    for (const char *input : {contract::xml_document, contract::crop_input})
        o.files[input] = read_file(std::string(CORPUS_SAMPLES_DIR) + "/" + input);
    run_result_t r = run_program("/bin/sh", o);
    if (file_exists(r.dir + "/status")) {
        r.status = std::stoi(read_file(r.dir + "/status"));
        r.exited = r.status < 128;
    }
    return r;
}

// One line naming the program and the failure, with the write's reason when it is known.
::testing::AssertionResult is_one_stdout_report(const std::string &err, const std::string &program,
                                                const stdout_case_t &c) {
    const std::string line = program + ": cannot write standard output";
    if (err == line + "\n" || err == line + ": " + c.reason + "\n")
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not one report of the failed output: " << err;
}

using stdout_param_t = std::tuple<std::string, stdout_case_t>;

class StdoutFailure : public ::testing::TestWithParam<stdout_param_t> {};

TEST_P(StdoutFailure, OneLineOnStandardErrorAndStatus1) {
    const auto &[program, c] = GetParam();
    run_result_t r = run_with_stdout(program, c);
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(is_one_stdout_report(r.err, program, c));
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Programs, StdoutFailure,
                         ::testing::Combine(::testing::ValuesIn(checked_programs()),
                                            ::testing::ValuesIn(stdout_cases)),
                         [](const ::testing::TestParamInfo<stdout_param_t> &info) {
                             return std::get<0>(info.param) + "_" + std::get<1>(info.param).name;
                         });

// A status the program already failed with is kept: a failed thread start (255) with a full
// standard output.
TEST(StdoutFailureStatus, EarlierFailureKeepsItsStatus) {
    run_options_t o;
    o.preload = {fault_library_path()};
    o.env = {{"FAULT_PTHREAD_CREATE", "1"}};
    run_result_t r = run_with_stdout(LAUNCHER_PROBE, stdout_cases[0], o);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(is_one_stdout_report(r.err, "launcher_probe", stdout_cases[0]));
}

// A closed standard output must not hand its descriptor to a file the program opens: the
// output would land in that file, and the check would find nothing wrong.
TEST(StdoutFailureStatus, ClosedOutputIsNotTakenByAnOpenedFile) {
    run_options_t o;
    o.args = {"--hold-file"};
    run_result_t r = run_with_stdout(LAUNCHER_PROBE, stdout_cases[1], o);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(is_one_stdout_report(r.err, "launcher_probe", stdout_cases[1]));
    EXPECT_EQ(read_file(r.dir + "/held.txt"), "");
}

} // namespace
