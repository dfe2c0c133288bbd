// The platform contract against the simulated machine (the same table runs
// under Wine in the Windows-side tests).
#include "test_support.h"

#include "tests/contract/os_contract.h"

namespace {

class SimContract : public ContractMachine {
public:
    std::vector<sim::Node *> held;
    std::string root() override { return "C:\\contract"; }
    void make_dir(const std::string &path) override { sim::machine().add_dir(path); }
    void make_file(const std::string &path, const std::string &data, DWORD attributes) override {
        sim::machine().add_file(path, data, attributes);
    }
    void hold(const std::string &path) override {
        sim::Node *n = sim::machine().find(path);
        n->locked = true;
        held.push_back(n);
    }
    void release_all() override {
        for (sim::Node *n : held) n->locked = false;
        held.clear();
    }
    void make_key(const std::string &key) override { sim::machine().reg_key(HKEY_CURRENT_USER, key, true); }
    void set_value(const std::string &key, const std::string &name, const std::string &bytes, DWORD type) override {
        sim::machine().reg_set_raw(HKEY_CURRENT_USER, key, name, bytes, type);
    }
    void set_last_error(DWORD value) override { sim::machine().last_error = value; }
    const char *name() override { return "sim"; }
};

}  // namespace

TEST_F(EngineTest, SimulatedMachineKeepsThePlatformContract) {
    m().add_drive('C', DRIVE_FIXED);
    m().add_dir("C:\\contract");
    m().add_file("C:\\boot.ini", "");
    SimContract machine;
    for (const std::string &difference : run_contract(machine)) ADD_FAILURE() << difference;
}
