// The install worker thread: runs the stages in order and reports only by posted messages.
#pragma once

#include <windows.h>

// Thread routine. The parameter is not used; returns 0 on every path. WM_SETUP_DONE is always
// the last message it posts. Before starting it the window has stored installDir, cleared
// cancelRequested and set busy.
DWORD WINAPI InstallWorker(LPVOID unused);
