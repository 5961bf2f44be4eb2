#include "expect_lines.h"

#include "run_program.h"

#include <regex>

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

std::string source_line(const std::string &path, int line) {
    std::vector<std::string> lines = split_lines(read_file(path));
    return line >= 1 && line <= static_cast<int>(lines.size()) ? lines[line - 1] : "";
}

::testing::AssertionResult is_bad_status_report(const std::string &err, const std::string &source,
                                                const std::string &call, int status) {
    std::smatch m;
    static const std::regex re("([^:\n]*):([0-9]+): (.*) returned a bad status of (-?[0-9]+)\\.\n");
    if (!std::regex_match(err, m, re))
        return ::testing::AssertionFailure() << "not one bad-status report: " << err;
    std::string file = source.substr(source.rfind('/') + 1);
    if (m[1] != file)
        return ::testing::AssertionFailure() << "names file " << m[1] << ", not " << file;
    if (m[3] != call)
        return ::testing::AssertionFailure() << "names call " << m[3] << ", not " << call;
    if (m[4] != std::to_string(status))
        return ::testing::AssertionFailure() << "status " << m[4] << ", not " << status;
    std::string line = source_line(source, std::stoi(m[2]));
    if (line.find(call) == std::string::npos)
        return ::testing::AssertionFailure()
               << "line " << m[2] << " of " << source << " does not hold the call: " << line;
    return ::testing::AssertionSuccess();
}
