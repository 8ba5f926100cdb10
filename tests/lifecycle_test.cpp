// Misuse of an object out of its lifecycle stops a debug build; a release
// build fails the call instead (the cases see that).
#include "osfile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(stagingfile, a_write_after_complete_stops_a_debug_build) {
#ifdef NDEBUG
    GTEST_SKIP() << "assertions are compiled out of this build";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char folder[] = "/tmp/skelvane-lifecycle.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    EXPECT_DEATH(
        {
            skelvane::stagingfile file;
            if (file.create(folder) != 0 || (file.write("text"), file.complete()) != 0) std::exit(0);
            file.write("more");
        },
        "a write to a completed staging file");
    std::string command = std::string("rm -rf ") + folder;
    EXPECT_EQ(std::system(command.c_str()), 0);
#endif
}
