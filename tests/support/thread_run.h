// Work on a thread of its own while this thread keeps handling its window messages, as the
// wizard's thread does while the install worker runs: what the work posts or sends to a window of
// this thread is handled as it comes.
#pragma once

#include <windows.h>

#include <functional>

// Handles the messages waiting in this thread's queue. Bounded, so that a queue that keeps
// refilling (a prober posting every millisecond) cannot hold the caller.
void PumpMessages();

// Runs work on a new thread while this thread pumps messages; returns after the thread has ended
// and the queue has been drained. False when it did not end within timeoutMs: the work is then
// asked to cancel (installState.cancelRequested), any tar.exe this process started is ended (the
// worker waits for its tool without a limit), and the work is still waited for, pumping, since it
// refers to the caller's frame (the test's or the process's own time limit bounds that wait).
bool RunOnThread(const std::function<void()>& work, DWORD timeoutMs);
