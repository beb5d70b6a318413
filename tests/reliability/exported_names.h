// The names the shared library exports, read from the list that the exports
// check also uses, so that the generic tests here notice an exported function
// they have no case for.
#ifndef VELK_TESTS_RELIABILITY_EXPORTED_NAMES_H
#define VELK_TESTS_RELIABILITY_EXPORTED_NAMES_H

#include <fstream>
#include <set>
#include <string>

namespace velk {

inline std::set<std::string> exportedNames() {
    std::set<std::string> names;
    std::ifstream in(VELK_EXPORTS_FILE);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        // Only the Sio functions; helpers the tools use are no part of the API.
        if (line.rfind("Sio", 0) == 0) names.insert(line);
    }
    return names;
}

}  // namespace velk

#endif  // VELK_TESTS_RELIABILITY_EXPORTED_NAMES_H
