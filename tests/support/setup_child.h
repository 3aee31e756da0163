// A copy of TavrinSetup.exe run as a child process of the test, with its own arguments,
// environment and working folder, and the uninstaller's question read and answered from outside.
#pragma once

#include "engine/owned.h"
#include "tests/support/testbed.h"

#include <windows.h>

#include <string>

// The uninstaller's question.
constexpr wchar_t kConfirmCaption[] = L"Tavrin AI 제거";
constexpr wchar_t kConfirmText[] =
    L"Tavrin AI 를 제거할까요?\n\nAI 모델(약 408MB)과 설정·로그인 정보까지 모두 삭제됩니다.\n"
    L"(업데이트·재설치는 이 데이터를 그대로 유지합니다.)";

struct Launch {
    std::wstring exe{};
    std::wstring arguments = L"/uninstall";
    std::wstring workingFolder{};  // empty: ours
    testbed::EnvironmentChanges environment{};
};

struct Child {
    OwnedKernelHandle process;
    DWORD id = 0;
};

// Starts launch.exe with "<exe>" <arguments> (a fatal test failure when it cannot).
void Start(const Launch& launch, Child& child);

// The child ends within 20 s with exit code 0.
void ExpectExitCodeZero(const Child& child);

// Waits for the uninstaller's question (no owner window, Yes/No, question icon, Yes the default),
// checks its caption and text, presses answer and waits until the box has closed.
void AnswerConfirmation(const Child& child, int answer);
