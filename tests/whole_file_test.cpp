// Saving a file whole or not at all, on each system's own files (under Wine
// for Windows): the new bytes replace the old file exactly, a save that
// fails leaves what was there, and no new file is ever left beside it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "platform/Files.h"

namespace fs = std::filesystem;

namespace {

struct WholeFileFixture : ::testing::Test {
    fs::path folder = fs::temp_directory_path() / ("scalepoll_whole_file_" + std::to_string(std::random_device{}()));
    std::string path = (folder / "SARJA1.INI").string();

    WholeFileFixture() { fs::create_directory(folder); }
    ~WholeFileFixture() override { fs::remove_all(folder); }

    static std::string Contents(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
        return names;
    }
};

}  // namespace

TEST_F(WholeFileFixture, NewBytesReplaceTheFileExactly) {
    EXPECT_EQ(WriteWholeFile(path, "COM3\r\n9600\r\n"), std::nullopt);
    EXPECT_EQ(Contents(path), "COM3\r\n9600\r\n");
    std::ofstream(path, std::ios::binary) << std::string(5000, 'x');
    EXPECT_EQ(WriteWholeFile(path, "shorter"), std::nullopt);
    EXPECT_EQ(Contents(path), "shorter");
    EXPECT_EQ(WriteWholeFile(path, ""), std::nullopt);
    EXPECT_EQ(Contents(path), "");
    EXPECT_EQ(Names(), std::set<std::string>{"SARJA1.INI"});
}

TEST_F(WholeFileFixture, FailedSaveLeavesWhatWasThereAndNoNewFile) {
    fs::create_directory(path);
    std::ofstream(fs::path(path) / "kept", std::ios::binary) << "kept";
    EXPECT_NE(WriteWholeFile(path, "COM3\r\n"), std::nullopt);
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(Contents(fs::path(path) / "kept"), "kept");
    EXPECT_EQ(Names(), std::set<std::string>{"SARJA1.INI"});

    const std::string missingFolder = (folder / "missing" / "SARJA1.INI").string();
    EXPECT_NE(WriteWholeFile(missingFolder, "COM3\r\n"), std::nullopt);
    EXPECT_EQ(Names(), std::set<std::string>{"SARJA1.INI"});
}

TEST_F(WholeFileFixture, SavingNamesLieBesideThePathAndDiffer) {
    const std::string first = SavingName(path);
    const std::string second = SavingName(path);
    EXPECT_NE(first, second);
    for (const std::string& name : {first, second}) {
        EXPECT_EQ(fs::path(name).parent_path(), folder) << name;
        EXPECT_TRUE(fs::path(name).filename().string().starts_with("SARJA1.INI.saving-")) << name;
    }
}
