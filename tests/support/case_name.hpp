#pragma once

#include <cctype>
#include <string>

namespace tavelin::support {

// A test name for a parameterised case: its description with everything but letters
// and digits turned into underscores.
struct CaseName {
    template <typename Info>
    std::string operator()(const Info& info) const {
        std::string name(info.param.what);
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    }
};

} // namespace tavelin::support
