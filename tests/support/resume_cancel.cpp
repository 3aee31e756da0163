#include "tests/support/resume_cancel.h"

#include "engine/download.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "tests/support/message_trace.h"
#include "tests/support/testbed.h"

namespace {

std::wstring LogPath() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + LOG_FILE_NAME;
}

}  // namespace

CancelAtFirstResume::CancelAtFirstResume(const std::wstring& url) : savedBaseMs_(downloadResumeBaseMs) {
    downloadResumeBaseMs = DOWNLOAD_RESUME_BASE_MS * 30;
    const std::wstring log = LogPath();
    const std::string resumeLine = "resume " + Narrow(url) + " | resumed at byte ";
    canceller_ = std::thread([this, log, resumeLine] {
        std::string text;
        while (!finished_ && !(testbed::ReadFileBytes(log, text) && text.find(resumeLine) != std::string::npos)) {
            Sleep(10);
        }
        SignalCancelRequest();
    });
}

CancelAtFirstResume::~CancelAtFirstResume() {
    downloadResumeBaseMs = savedBaseMs_;
    finished_ = true;
    canceller_.join();
}
