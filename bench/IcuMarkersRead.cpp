// The baseline of `tavrinctl markers read` as a whole process: a plain ICU
// program that reads a document, runs the two regular expressions (the
// attribute one built for each call), builds one JSON dictionary per marker
// and prints the array as tavrinctl does (two-space indents, a final line feed).

#include "tests/TavrinFCP/IcuMarkerReader.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: icu_markers_read FILE\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << "icu_markers_read: cannot open " << argv[1] << "\n";
        return 2;
    }
    const std::string document{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
    tavrin::Value records = tavrin::Value::array();
    for (auto& record : tavrin::container::testing::icuParseMarkers(document))
        records.push_back(std::move(record));
    std::cout << records.dump(2) << "\n";
    std::cout.flush();
    return std::cout ? 0 : 1;
}
