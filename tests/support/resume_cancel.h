// A cancel made while a download waits between two tries: what a user does when a cut transfer
// stalls the progress bar.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

// While it lives, the pauses between a download's tries are thirty times the product's, so that
// only the cancel can end one, and the cancel request is signalled once the setup log holds the
// resume line of url (the download is then waiting). The destructor puts the pauses back and
// ends the watch.
class CancelAtFirstResume {
public:
    explicit CancelAtFirstResume(const std::wstring& url);
    ~CancelAtFirstResume();
    CancelAtFirstResume(const CancelAtFirstResume&) = delete;
    CancelAtFirstResume& operator=(const CancelAtFirstResume&) = delete;

private:
    DWORD savedBaseMs_;
    std::atomic<bool> finished_{false};
    std::thread canceller_;
};
