#include "banner.h"

#include <array>
#include <map>

namespace {

using Shape = std::array<const char*, 5>;

// The letters of the verdicts' names, and of the words beside them.
const std::map<char, Shape>& shapes() {
    static const std::map<char, Shape> s = {
        {'A', {" ### ", "#   #", "#####", "#   #", "#   #"}},
        {'B', {"#### ", "#   #", "#### ", "#   #", "#### "}},
        {'D', {"#### ", "#   #", "#   #", "#   #", "#### "}},
        {'E', {"#####", "#    ", "#### ", "#    ", "#####"}},
        {'F', {"#####", "#    ", "#### ", "#    ", "#    "}},
        {'G', {" ####", "#    ", "#  ##", "#   #", " ### "}},
        {'I', {"#####", "  #  ", "  #  ", "  #  ", "#####"}},
        {'L', {"#    ", "#    ", "#    ", "#    ", "#####"}},
        {'M', {"#   #", "## ##", "# # #", "#   #", "#   #"}},
        {'N', {"#   #", "##  #", "# # #", "#  ##", "#   #"}},
        {'O', {" ### ", "#   #", "#   #", "#   #", " ### "}},
        {'P', {"#### ", "#   #", "#### ", "#    ", "#    "}},
        {'R', {"#### ", "#   #", "#### ", "#  # ", "#   #"}},
        {'S', {" ####", "#    ", " ### ", "    #", "#### "}},
        {'T', {"#####", "  #  ", "  #  ", "  #  ", "  #  "}},
        {'U', {"#   #", "#   #", "#   #", "#   #", " ### "}},
    };
    return s;
}

}  // namespace

std::string banner_text(const std::string& word) {
    std::string out;
    for (std::size_t row = 0; row < 5; ++row) {
        std::string line;
        for (char c : word) {
            const auto shape = shapes().find(c);
            line += shape == shapes().end() ? "     " : shape->second[row];
            line += "  ";
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}
