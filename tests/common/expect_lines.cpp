#include "expect_lines.h"

#include "run_program.h"

std::string creation_lines(int count) {
    std::string s;
    for (int i = 0; i < count; ++i)
        s += creation_prefix + std::to_string(i) + "\n";
    return s;
}

std::string lines_with_prefix(const std::string &text, const std::string &prefix) {
    std::string s;
    for (const auto &l : split_lines(text))
        if (l.compare(0, prefix.size(), prefix) == 0)
            s += l + "\n";
    return s;
}

long number_between(const std::string &text, const std::string &before, const std::string &after) {
    if (text.size() <= before.size() + after.size() ||
        text.compare(0, before.size(), before) != 0 ||
        text.compare(text.size() - after.size(), after.size(), after) != 0)
        return -1;
    const std::string digits =
        text.substr(before.size(), text.size() - before.size() - after.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stol(digits);
}

std::string source_line(const std::string &path, int line) {
    std::vector<std::string> lines = split_lines(read_file(path));
    return line >= 1 && line <= static_cast<int>(lines.size()) ? lines[line - 1] : "";
}

::testing::AssertionResult is_bad_status_report(const std::string &err, const std::string &source,
                                                const std::string &call, int status) {
    // FILE:LINE: CALL returned a bad status of STATUS.
    const std::string file = source.substr(source.rfind('/') + 1);
    const long at =
        number_between(err, file + ":",
                       ": " + call + " returned a bad status of " + std::to_string(status) + ".\n");
    if (at < 0)
        return ::testing::AssertionFailure() << "not one report that " << file << " found " << call
                                             << " returning " << status << ": " << err;
    std::string line = source_line(source, static_cast<int>(at));
    if (line.find(call) == std::string::npos)
        return ::testing::AssertionFailure()
               << "line " << at << " of " << source << " does not hold the call: " << line;
    return ::testing::AssertionSuccess();
}
