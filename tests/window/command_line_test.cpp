// The choice of mode, as the real TavrinSetup.exe makes it from its command line: "/uninstall"
// anywhere in the arguments, case-sensitively, selects uninstall mode; anything else opens the
// wizard.
#include "engine/layout.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_box.h"
#include "tests/support/setup_child.h"
#include "tests/support/testbed.h"
#include "tests/window/setup_driver.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct ModeCase {
    const char* name;
    const wchar_t* arguments;
    bool uninstallMode;
};

class ModeSelectionTest : public ::testing::TestWithParam<ModeCase> {};

// In install mode no uninstall question may come; the wizard window (or the process's end)
// settles it early, else a few seconds do. The process is then closed.
void ExpectInstallMode(const Child& child) {
    for (int i = 0; i < 60; ++i) {
        if (WaitForSingleObject(child.process.get(), 0) == WAIT_OBJECT_0) return;
        const auto box = WaitForMessageBox(nullptr, child.id, 50);
        if (box) {
            EXPECT_NE(box->caption, kConfirmCaption) << "the uninstall question appeared";
        }
        if (box || FindWizardWindow(child.id)) break;
    }
    if (HWND wizard = FindWizardWindow(child.id)) PostMessageW(wizard, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(child.process.get(), 10000) != WAIT_OBJECT_0) {
        TerminateProcess(child.process.get(), 1);
        WaitForSingleObject(child.process.get(), 10000);
    }
}

TEST_P(ModeSelectionTest, ChoosesTheMode) {
    const std::wstring folder = testbed::MakeScratchFolder(L"uninstall_mode");
    const std::wstring setupCopy = SetupCopyIn(folder);
    ASSERT_TRUE(CopyFileW(SetupExePath().c_str(), setupCopy.c_str(), FALSE));
    Child child;
    Start({.exe = setupCopy, .arguments = GetParam().arguments}, child);
    if (GetParam().uninstallMode) {
        ASSERT_NO_FATAL_FAILURE(AnswerConfirmation(child, IDNO));
        ExpectExitCodeZero(child);
    } else {
        ExpectInstallMode(child);
    }
    EXPECT_TRUE(Exists(setupCopy));
}

INSTANTIATE_TEST_SUITE_P(CommandLines, ModeSelectionTest,
                         ::testing::Values(ModeCase{"switch", L"/uninstall", true},
                                           ModeCase{"inside_a_word", L"x/uninstallx", true},
                                           ModeCase{"other_case", L"/Uninstall", false},
                                           ModeCase{"dash", L"-uninstall", false},
                                           ModeCase{"no_arguments", L"", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
