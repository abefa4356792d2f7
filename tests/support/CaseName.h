// Test-only: readable names for table-driven parameterised tests whose rows start with a
// `name` text ("one failed packet" becomes one_failed_packet, "-1000 ppm" minus1000_ppm), instead of the row's bytes.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace kvxtest {

struct CaseName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const
    {
        std::string out;
        for (const char* p = info.param.name; p != nullptr && *p != 0; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (std::isalnum(c)) {
                out += static_cast<char>(c);
            } else if ((c == '+' || c == '-') && std::isdigit(static_cast<unsigned char>(p[1]))) {
                out += c == '+' ? "plus" : "minus";
            } else if (!out.empty() && out.back() != '_') {
                out += '_';
            }
        }
        while (!out.empty() && out.back() == '_') {
            out.pop_back();
        }
        return out.empty() ? "row" + std::to_string(info.index) : out;
    }
};

}  // namespace kvxtest
