// The test program started again as a child process in a mode of its own, for work that a test
// ends by force in the middle (as a crash would) to look at what it left behind.
#pragma once

#include "engine/owned.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// The test program's main: with childSwitch as its first argument it runs child with the
// arguments that follow and returns what child returns; otherwise it runs the tests.
int RunTestsOrChild(int argc, char** argv, const wchar_t* childSwitch,
                    int (*child)(const std::vector<std::wstring>& arguments));

class SelfChild {
public:
    // Starts this program with childSwitch and the arguments, each quoted; Started() says whether
    // it could.
    SelfChild(const wchar_t* childSwitch, const std::vector<std::wstring>& arguments);
    SelfChild(const SelfChild&) = delete;
    SelfChild& operator=(const SelfChild&) = delete;
    ~SelfChild() { Kill(); }

    bool Started() const { return static_cast<bool>(process_); }
    DWORD Id() const { return id_; }

    enum class Outcome { Reached, Ended, TimedOut };
    // Asks reached, every 20 ms, until it holds, the child ends or timeoutMs have passed.
    Outcome WaitFor(const std::function<bool()>& reached, DWORD timeoutMs) const;
    // Ends the child if it still runs and waits until it has ended.
    void Kill();

private:
    OwnedKernelHandle process_;
    DWORD id_ = 0;
};
