// The simulator's command line.
#include <gtest/gtest.h>

#include "tools/sim/Options.h"

using Arguments = std::vector<std::string>;

TEST(SimOptions, OptionsAndTheCommandAfterThem) {
    const SimOptions options = ParseOptions({"--port", "2", "--baud", "19200", "--station", "3:weight=5",
                                             "--station", "12", "--record", "r.txt", "--log", "-", "--",
                                             "scalepoll", "--station", "--"});
    EXPECT_EQ(options.port, 2);
    EXPECT_EQ(options.baud, 19200);
    EXPECT_EQ(options.stations.size(), 2u);
    EXPECT_EQ(options.stations.at(3).weight, 5);
    EXPECT_EQ(options.recordPath, "r.txt");
    EXPECT_EQ(options.logPath, "-");
    EXPECT_EQ(options.command, (Arguments{"scalepoll", "--station", "--"}));

    const SimOptions defaults = ParseOptions({});
    EXPECT_EQ(defaults.port, 1);
    EXPECT_EQ(defaults.baud, 9600);
    EXPECT_TRUE(defaults.stations.empty());
    EXPECT_TRUE(defaults.command.empty());
}

TEST(SimOptions, HelpAndVersion) {
    EXPECT_TRUE(ParseOptions({"--help"}).help);
    EXPECT_TRUE(ParseOptions({"--version"}).version);
    EXPECT_FALSE(ParseOptions({"--station", "3"}).version);
    EXPECT_FALSE(ParseOptions({"--", "scalepoll", "--version"}).version);
}

TEST(SimOptions, RejectedCommandLines) {
    const Arguments cases[] = {
        {"--station", "3", "--station", "3:weight=1"},
        {"--baud", "9601"},
        {"--baud", "0"},
        {"--port", "0"},
        {"--port", "5"},
        {"--station"},
        {"--bogus", "1"},
        {"COM1"},
        {"--"},
        {"--device", "/nonexistent/line", "--", "true"},
    };
    for (const Arguments& arguments : cases) EXPECT_THROW(ParseOptions(arguments), UsageError) << arguments[0];
}
