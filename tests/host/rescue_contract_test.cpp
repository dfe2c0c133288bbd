// The platform contract against the rescue backend, over a folder mapped as
// C:. The rows it cannot keep are those of a running Windows that a disk
// mounted on Linux does not have, each named with the reason.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/rescue/internal.h"
#include "tests/contract/os_contract.h"

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *) { return std::remove(path); }

class RescueContract : public ContractMachine {
public:
    explicit RescueContract(const std::string &folder) : top(folder) {}
    std::string top;
    std::vector<int> held;
    std::string host(const std::string &path) {
        std::string out = top;
        for (char c : path.substr(2)) out += c == '\\' ? '/' : c;
        return out;
    }
    std::string root() override { return "C:\\contract"; }
    void make_dir(const std::string &path) override { mkdir(host(path).c_str(), 0755); }
    // The attributes have no place on this file system: every file is normal.
    void make_file(const std::string &path, const std::string &data, DWORD) override {
        std::ofstream(host(path), std::ios::binary) << data;
    }
    void hold(const std::string &path) override { held.push_back(open(host(path).c_str(), O_RDONLY)); }
    void release_all() override {
        for (int fd : held)
            if (fd >= 0) close(fd);
        held.clear();
    }
    void make_key(const std::string &) override {}
    void set_value(const std::string &, const std::string &, const std::string &, DWORD) override {}
    void set_last_error(DWORD value) override { rescue::set_error(value); }
    const char *name() override { return "rescue"; }
};

}  // namespace

TEST(RescueBackend, KeepsThePlatformContractButWhatADiskOnLinuxLacks) {
    char folder[] = "/tmp/pellmark-rescue-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    ASSERT_EQ(0, mkdir((std::string(folder) + "/contract").c_str(), 0755));
    rescue::reset();
    std::string error;
    ASSERT_TRUE(rescue::map_drive('C', folder, error)) << error;
    RescueContract machine(folder);
    std::set<std::string> differences;
    for (const std::string &difference : run_contract(machine))
        differences.insert(difference.substr(0, difference.find(": result")));
    const std::set<std::string> lacking = {
        // No read-only attribute on this file system (ext4): the file is
        // normal, and deleted.
        "rescue: a read-only file is not deleted",
        // Linux has no deny-delete sharing; no program of the disk runs to
        // hold a file anyway.
        "rescue: a file held open without delete sharing",
        // HKEY_CURRENT_USER is no hive of the disk: no key to open.
        "rescue: a size query gives the size with its terminator",
        "rescue: a buffer too small: ERROR_MORE_DATA and the size needed",
        "rescue: a missing value",
        "rescue: deleting a missing value",
        "rescue: a key with a subkey is not deleted",
        "rescue: a key without subkeys is deleted",
    };
    EXPECT_EQ(lacking, differences);
    machine.release_all();
    rescue::reset();
    nftw(folder, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// The system's root is refused under any name: a bind mount of "/" is the
// same folder. The mount is made in a mount namespace of this test's own.
TEST(RescueBackend, TheSystemRootUnderAnotherNameIsRefused) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "no mount namespace here";
    char folder[] = "/tmp/pellmark-rescue-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    if (mount("/", folder, nullptr, MS_BIND, nullptr) != 0) {
        rmdir(folder);
        GTEST_SKIP() << "no bind mount here";
    }
    rescue::reset();
    std::string error;
    EXPECT_FALSE(rescue::map_drive('D', folder, error));
    EXPECT_NE(std::string::npos, error.find("is the root of this system")) << error;
    rescue::reset();
    umount(folder);
    rmdir(folder);
}
