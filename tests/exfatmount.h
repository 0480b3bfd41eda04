// A real case-insensitive folder for the tests: a small exFAT image, made
// with mkfs.exfat and mounted through FUSE (mount.exfat-fuse) on a loop
// device, unmounted again when the object ends, whatever the test did.
#pragma once

#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/files.h"

class ExfatMount {
    // Runs a shell command line, its output discarded; true on status 0.
    // The tools live in the system folders, which a PATH may leave out.
    static bool sh(const std::string& command) {
        return std::system(("PATH=\"$PATH:/usr/sbin:/sbin\"; " + command + " >/dev/null 2>&1").c_str()) == 0;
    }

public:
    ExfatMount() {
        if (::geteuid() != 0) {
            why_not_ = "mounting an exFAT image needs root";
            return;
        }
        if (!std::filesystem::exists("/dev/fuse")) {
            why_not_ = "there is no /dev/fuse";
            return;
        }
        for (const char* tool : {"mkfs.exfat", "mount.exfat-fuse", "losetup", "umount"}) {
            if (!sh("command -v " + std::string(tool))) {
                why_not_ = std::string("there is no ") + tool + " (scripts/deps.sh installs it)";
                return;
            }
        }
        const auto image = scratch_.path() / "fat.img";
        write_file(image, "");
        std::filesystem::resize_file(image, 8u << 20);
        mount_ = scratch_.path() / "mnt";
        std::filesystem::create_directory(mount_);
        if (!sh("mkfs.exfat " + image.string())) {
            why_not_ = "mkfs.exfat failed";
            return;
        }
        // As root the FUSE driver wants a block device.
        if (FILE* p = ::popen(("losetup -f --show " + image.string() + " 2>/dev/null").c_str(), "r")) {
            char line[256] = {};
            if (std::fgets(line, sizeof(line), p)) loop_ = line;
            ::pclose(p);
        }
        while (!loop_.empty() && (loop_.back() == '\n' || loop_.back() == ' ')) loop_.pop_back();
        if (loop_.empty()) {
            why_not_ = "no loop device could be set up for the image";
            return;
        }
        const bool ok = sh("mount.exfat-fuse " + loop_ + " " + mount_.string());
        // Detached now, the loop device goes away by itself once the driver
        // lets it go.
        sh("losetup -d " + loop_);
        struct statfs fs {};
        constexpr long fuse_magic = 0x65735546;
        mounted_ = ok && ::statfs(mount_.c_str(), &fs) == 0 && static_cast<long>(fs.f_type) == fuse_magic;
        if (!mounted_) why_not_ = "mount.exfat-fuse could not mount the image";
    }
    ~ExfatMount() {
        if (mount_.empty()) return;
        // Unmounted even when the mount looked failed: a half-made mount
        // must not outlive the test.
        if (!sh("umount " + mount_.string())) sh("umount -l " + mount_.string());
    }
    ExfatMount(const ExfatMount&) = delete;
    ExfatMount& operator=(const ExfatMount&) = delete;

    bool mounted() const { return mounted_; }
    // Why there is no mount, for the test's skip message.
    const std::string& why_not() const { return why_not_; }
    // The mounted folder.
    const std::filesystem::path& path() const { return mount_; }

private:
    ScratchDir scratch_;
    std::filesystem::path mount_;
    std::string loop_;
    std::string why_not_;
    bool mounted_ = false;
};
