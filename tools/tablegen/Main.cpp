// tablegen ROOT FILE...: generates the driver's constant tables under ROOT. FILE... is the list
// of files the build expects (relative to ROOT); the run fails when the families make others.
#include <cstdio>
#include <set>
#include <string>

#include "tools/tablegen/TableFamily.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: tablegen ROOT FILE...\n");
        return 2;
    }
    tablegen::TableWriter writer(argv[1]);
    for (size_t i = 0; i < tablegen::TableFamilyCount; ++i) {
        tablegen::TableFamilies[i].generate(writer);
    }
    const std::set<std::string> expected(argv + 2, argv + argc);
    std::string error;
    if (!writer.Commit(expected, &error)) {
        std::fprintf(stderr, "tablegen: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
