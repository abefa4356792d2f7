// A family of generated tables: one source file here with one function that adds its files to
// the writer, and one row in the registration list (Families.cpp).
//
// To add a family: write Family.cpp with `void GenerateFamily(TableWriter&)` (tables from
// GenMath only, so that every machine makes the same bits), declare it below, add its row to
// Families.cpp and its source to this folder's CMakeLists.txt, list the files it writes in
// KVX_GENERATED_TABLES there, and compile each with kvx_generated_sources() in the folder of
// the library that declares the tables. Pin the checksum of every new table in
// tests/tools/tablegen/GeneratedTablesTest.cpp.
#pragma once

#include <cstddef>

#include "tools/tablegen/TableWriter.h"

namespace tablegen {

struct TableFamily {
    const char* name;
    void (*generate)(TableWriter& writer);
};

extern const TableFamily TableFamilies[];
extern const size_t TableFamilyCount;

void GenerateLimiterTables(TableWriter& writer);
void GenerateSpatialDiffuserTables(TableWriter& writer);
void GenerateHeadphoneResponseTables(TableWriter& writer);
void GenerateCtcTables(TableWriter& writer);
void GenerateSrcTables(TableWriter& writer);
void GenerateMathTables(TableWriter& writer);

}  // namespace tablegen
