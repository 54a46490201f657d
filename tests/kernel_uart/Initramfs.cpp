#include "tests/kernel_uart/Initramfs.h"

#include <sys/stat.h>

#include <cstdio>

namespace {

// Header and name, and then the contents, each padded to 4 bytes.
void PadToFour(std::string& archive) { archive.append((4 - archive.size() % 4) % 4, '\0'); }

std::string Hex8(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

}  // namespace

void Initramfs::AddDirectory(std::string_view path) { AddEntry(path, S_IFDIR | 0755, {}, 0, 0); }

void Initramfs::AddFile(std::string_view path, std::string_view contents, bool executable) {
    AddEntry(path, S_IFREG | (executable ? 0755 : 0644), contents, 0, 0);
}

void Initramfs::AddCharacterDevice(std::string_view path, std::uint32_t major, std::uint32_t minor) {
    AddEntry(path, S_IFCHR | 0600, {}, major, minor);
}

std::string Initramfs::Finish() {
    AddEntry("TRAILER!!!", 0, {}, 0, 0);
    return std::move(archive_);
}

// Fields in order: magic, inode, mode, uid, gid, links, mtime, file size,
// the device holding it (major, minor), the device it is (major, minor),
// name size with its NUL, checksum (unused in newc).
void Initramfs::AddEntry(std::string_view path, std::uint32_t mode, std::string_view contents,
                         std::uint32_t deviceMajor, std::uint32_t deviceMinor) {
    const std::uint32_t fields[] = {nextInode_++, mode, 0, 0, 1, 0, static_cast<std::uint32_t>(contents.size()),
                                    0, 0, deviceMajor, deviceMinor, static_cast<std::uint32_t>(path.size() + 1), 0};
    archive_ += "070701";
    for (const std::uint32_t field : fields) archive_ += Hex8(field);
    archive_ += path;
    archive_ += '\0';
    PadToFour(archive_);
    archive_ += contents;
    PadToFour(archive_);
}
