// Folder links inside what the uninstall removes. The bed cannot make a junction that Windows
// would report as one; the interposer presents bed folders as such junctions.
#include "tests/support/attempt.h"
#include "tests/support/interposer.h"
#include "tests/support/message_trace.h"
#include "tests/support/testbed.h"
#include "uninstall/uninstall.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

namespace {

// The empty bed folder that a presented junction stands in for, with its parents.
bool MakeStandIn(const std::wstring& junction) {
    return SHCreateDirectoryExW(nullptr, junction.c_str(), nullptr) == ERROR_SUCCESS;
}

// A junction in the app folder, in the model folder and in the per-user data folder, as Windows
// reports it (its stand-in, an empty bed folder, is what removing the link acts on): each is
// removed as a link, never entered, and the uninstall finishes. What a real junction points to lies outside every folder removed, so only the links go.
TEST(LinkUninstall, JunctionsAsWindowsReportsThemAreRemovedAsLinks) {
    AttemptScope attempt(L"link_uninstall_junction");
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.appFolder() + L"\\TavrinAI.exe", "program"));
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.installDir() + L"\\TavrinSetup.exe", "setup copy"));
    const std::wstring dataFolder = attempt.profile() + L"\\.tavrin_ai";
    const std::vector<std::wstring> junctions = {attempt.appFolder() + L"\\linked", attempt.modelFolder() + L"\\linked",
                                                 dataFolder + L"\\linked"};
    for (const std::wstring& junction : junctions) ASSERT_TRUE(MakeStandIn(junction));

    std::vector<std::wstring> boxes;
    bool entered = true;
    MessageTrace trace;
    ASSERT_TRUE(trace.RunOnThread([&] {
        ComApartment apartment;
        interposer::Interposer calls;
        calls.AnswerBoxes();
        calls.SetOwnModulePath(attempt.installDir() + L"\\TavrinSetup.exe");
        for (const std::wstring& junction : junctions) {
            calls.Present(junction, {FILE_ATTRIBUTE_REPARSE_POINT, interposer::JUNCTION_TAG});
        }
        RunUninstall();
        calls.Disarm();
        boxes = calls.BoxTexts();
        entered = calls.Entered(junctions[0]) || calls.Entered(junctions[1]) || calls.Entered(junctions[2]);
    }));

    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1], L"제거가 끝났습니다.");
    EXPECT_FALSE(entered);
    EXPECT_FALSE(FileExists(attempt.appFolder()));
    EXPECT_FALSE(FileExists(attempt.modelFolder()));
    EXPECT_FALSE(FileExists(dataFolder));
}

}  // namespace
