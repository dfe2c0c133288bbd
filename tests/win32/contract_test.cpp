// The platform contract against the real Windows API, under Wine in the
// sandbox (the same table runs against the simulated machine on the host).
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/contract/os_contract.h"

namespace {

class WineContract : public ContractMachine {
public:
    std::vector<HANDLE> held;
    std::string root() override { return "C:\\contract"; }
    void make_dir(const std::string &path) override { CreateDirectoryA(path.c_str(), nullptr); }
    void make_file(const std::string &path, const std::string &data, DWORD attributes) override {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        if (!data.empty()) WriteFile(h, data.data(), (DWORD)data.size(), &written, nullptr);
        CloseHandle(h);
        SetFileAttributesA(path.c_str(), attributes);
    }
    void hold(const std::string &path) override {
        held.push_back(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    }
    void release_all() override {
        for (HANDLE h : held) CloseHandle(h);
        held.clear();
    }
    void make_key(const std::string &key) override {
        HKEY k = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) ==
            ERROR_SUCCESS)
            RegCloseKey(k);
    }
    void set_value(const std::string &key, const std::string &name, const std::string &bytes, DWORD type) override {
        HKEY k = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
            ERROR_SUCCESS)
            return;
        RegSetValueExA(k, name.c_str(), 0, type, (const BYTE *)bytes.data(), (DWORD)bytes.size());
        RegCloseKey(k);
    }
    void set_last_error(DWORD value) override { SetLastError(value); }
    const char *name() override { return "wine"; }
};

}  // namespace

TEST(Contract, WindowsApiKeepsThePlatformContract) {
    ASSERT_TRUE(CreateDirectoryA("C:\\contract", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    WineContract machine;
    for (const std::string &difference : run_contract(machine)) ADD_FAILURE() << difference;
}
