#include "aDefs.h"

#include <gtest/gtest.h>
#include <set>
#include <string>

namespace {

TEST(Defs, SeventeenModelsHaveNames) {
    std::set<std::string> names;
    for (int model = 0; model <= 255; ++model) {
        std::string name = aDefs_GetModelName(static_cast<uint8_t>(model));
        bool known = model == 4 || model == 5 || (model >= 13 && model <= 27);
        if (known) {
            EXPECT_NE(name, "Unknown") << model;
            EXPECT_FALSE(name.empty()) << model;
            names.insert(name);
        } else {
            EXPECT_EQ(name, "Unknown") << model;
        }
    }
    EXPECT_EQ(names.size(), 17u); // each product its own name
}

} // namespace
