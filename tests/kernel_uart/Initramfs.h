// An initramfs for the test guest: the kernel's "newc" cpio format, built in
// memory from directories, files and device nodes, in the order given (a
// directory before what it holds).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class Initramfs {
public:
    void AddDirectory(std::string_view path);
    void AddFile(std::string_view path, std::string_view contents, bool executable);
    void AddCharacterDevice(std::string_view path, std::uint32_t major, std::uint32_t minor);

    // The archive, closed with its trailer entry.
    std::string Finish();

private:
    void AddEntry(std::string_view path, std::uint32_t mode, std::string_view contents, std::uint32_t deviceMajor,
                  std::uint32_t deviceMinor);

    std::string archive_;
    std::uint32_t nextInode_ = 1;
};
