// The progress trace the program writes, and a comparison of long texts that
// says where they part instead of printing both whole.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace trace_text {

inline std::string expectedTrace()
{
    std::string trace;
    for (int i = 0; i < 500; ++i) {
        trace += "generating vertex " + std::to_string(i) + "\n";
    }
    return trace;
}

inline testing::AssertionResult sameText(const std::string& seen, const std::string& expected)
{
    if (seen == expected) {
        return testing::AssertionSuccess();
    }
    std::size_t at = 0;
    while (at < seen.size() && at < expected.size() && seen[at] == expected[at]) {
        ++at;
    }
    const auto around = [at](const std::string& text) {
        const std::size_t from = at < 20 ? 0 : at - 20;
        return testing::PrintToString(text.substr(from, 40));
    };
    return testing::AssertionFailure() << "expected " << expected.size() << " characters, saw " << seen.size()
                                       << "; they differ at character " << at << ": expected " << around(expected)
                                       << ", saw " << around(seen);
}

}  // namespace trace_text
