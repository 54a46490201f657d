// A fresh directory that is the current one while the object lives, for tests
// of code that writes into the current directory (the dialog's SARJA1.INI).
// Afterwards the previous current directory is back and the directory gone.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "scalepoll_test.XXXXXX").string();
        path_ = mkdtemp(pattern.data());
        std::filesystem::current_path(path_);
    }
    ~TemporaryDirectory() {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(path_);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path previous_ = std::filesystem::current_path();
    std::filesystem::path path_;
};
