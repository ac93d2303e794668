#include <gtest/gtest.h>
#include "Csvreader.h"
TEST(Smoke, Reads) { gridloom::CSVReader r("a,b"); EXPECT_EQ(r.GetFieldCount(), 2u); }
