// The facts about the platform that the engine relies on, as one table run
// against both backends of os::: the simulated machine on the host and the
// real Windows API under Wine. Each row makes a call through os:: and
// states its result and what GetLastError gives afterwards (a sentinel is
// set first, so "unchanged" is visible too). Where the simulated machine and
// Wine disagree the simulated machine is wrong, unless the row says Wine is
// known to differ from Windows.
#pragma once
#include <string>
#include <vector>

#include "platform/os.h"

// What a backend must do to arrange a case. Paths are below root(), a folder
// on a fixed drive that exists and is empty at the start.
class ContractMachine {
public:
    virtual ~ContractMachine() = default;
    virtual std::string root() = 0;
    virtual void make_dir(const std::string &path) = 0;
    virtual void make_file(const std::string &path, const std::string &data, DWORD attributes) = 0;
    // Keeps the file open, sharing reading and writing but not deletion.
    virtual void hold(const std::string &path) = 0;
    virtual void release_all() = 0;
    virtual void make_key(const std::string &key) = 0;  // below HKEY_CURRENT_USER
    virtual void set_value(const std::string &key, const std::string &name, const std::string &bytes,
                           DWORD type) = 0;
    virtual void set_last_error(DWORD value) = 0;
    // The backend's name for messages: "sim" or "wine".
    virtual const char *name() = 0;
};

struct ContractOutcome {
    long result;       // the call's result, as the row reads it
    DWORD last_error;  // GetLastError right after the call
};

struct ContractRow {
    const char *what;
    ContractOutcome expected;
    // Arranges the case (everything below root()) and makes the one call.
    ContractOutcome (*run)(ContractMachine &m);
};

const std::vector<ContractRow> &contract_rows();

// The sentinel set before every call.
enum : DWORD { contract_sentinel = 0x5EED };

// Runs every row against m; returns one line for each row whose outcome
// differs from its expectation.
std::vector<std::string> run_contract(ContractMachine &m);
