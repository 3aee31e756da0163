// A running app during an uninstall, in the test process: Windows refuses to rename a folder that
// holds an open file (Wine renames it), which the interposer presents.
#include "engine/layout.h"
#include "tests/support/attempt.h"
#include "tests/support/interposer.h"
#include "tests/support/message_trace.h"
#include "tests/support/short_retry_bound.h"
#include "tests/support/testbed.h"
#include "uninstall/uninstall.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string ReadText(const std::wstring& path) {
    std::string bytes;
    return testbed::ReadFileBytes(path, bytes) ? bytes : "<missing>";
}

// The app folder cannot be set aside: nothing of it, nor anything else, is deleted, and the
// in-use box is shown.
TEST(HeldUninstall, AFileHeldByTheRunningAppLeavesEverythingWhole) {
    AttemptScope attempt(L"held_uninstall");
    const std::wstring program = attempt.appFolder() + L"\\" + APP_PROGRAM_NAME;
    ASSERT_TRUE(testbed::WriteFileBytes(program, "program"));
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.appFolder() + L"\\runtime\\python311.dll", "runtime"));
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.installDir() + L"\\" + SETUP_COPY_NAME, "setup copy"));
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.modelFolder() + L"\\" + MARKER_MODEL_NAME, "model"));

    const ShortRetryBound shortBound;
    std::vector<std::wstring> boxes;
    MessageTrace trace;
    ASSERT_TRUE(trace.RunOnThread([&] {
        ComApartment apartment;
        interposer::Interposer calls;
        calls.AnswerBoxes();
        calls.SetOwnModulePath(attempt.installDir() + L"\\" + SETUP_COPY_NAME);
        calls.Hold(program);
        RunUninstall();
        calls.Disarm();
        boxes = calls.BoxTexts();
    }));

    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1], L"일부 파일을 지우지 못했습니다.\n실행 중인 Tavrin AI 를 닫고 다시 제거해 주세요.");
    EXPECT_EQ(ReadText(program), "program");
    EXPECT_EQ(ReadText(attempt.appFolder() + L"\\runtime\\python311.dll"), "runtime");
    EXPECT_EQ(ReadText(attempt.installDir() + L"\\" + SETUP_COPY_NAME), "setup copy");
    EXPECT_EQ(ReadText(attempt.modelFolder() + L"\\" + MARKER_MODEL_NAME), "model");
    for (const wchar_t* name : {ASIDE_FOLDER_NAME, SWITCH_JOURNAL_NAME}) {
        EXPECT_FALSE(testbed::FileExists(attempt.installDir() + L"\\" + name));
    }
}

}  // namespace
