// Folder links inside what an update deletes or keeps: the app folder (deleted and replaced),
// the model folder and the per-user data folder (kept), each holding a link to a folder outside
// with a file of the user's in it. The update must never delete through a link: the linked
// folders and their files stay as they were. The bed cannot delete a link as a link (testbed_test
// AHostLinkCannotBeDeletedAsALink), so the link in the app folder stays: the old app folder is
// kept whole and the attempt fails with the text asking to close the application.
#include "engine/install_state.h"
#include "tests/robustness/attempt.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/testbed.h"
#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kOldInstallKept[] = L"이전 설치를 지우지 못했습니다. 실행 중인 Tavrin AI 를 닫고 다시 시도해 주세요.";

struct LinkedFolder {
    std::wstring link;     // inside the folder under test
    std::wstring outside;  // what it points to, holding sentinel.txt
};

LinkedFolder MakeLinkedFolder(const std::wstring& scratch, const std::wstring& folder, const wchar_t* name) {
    LinkedFolder linked{folder + L"\\linked", scratch + L"\\outside_" + name};
    EXPECT_TRUE(testbed::WriteFileBytes(linked.outside + L"\\sentinel.txt", "the user's own file"));
    EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(testbed::MakeFolderLink(linked.link, linked.outside)) << Narrow(linked.link);
    return linked;
}

void ExpectUntouched(const LinkedFolder& linked) {
    SCOPED_TRACE(Narrow(linked.outside));
    EXPECT_EQ(ReadText(linked.outside + L"\\sentinel.txt"), "the user's own file");
    EXPECT_EQ(FolderEntries(linked.outside), (std::vector<std::wstring>{L"sentinel.txt"}));
}

TEST(LinkUpdate, DeletesNothingThroughALink) {
    AttemptScope attempt(L"link_update");
    RemoveWorkerTempFiles();
    ReleaseSite site(L"robustness_link_update");
    ASSERT_TRUE(site.Publish("2.4.1", MakeZip(AppEntries("2.4.1"))));
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.appFolder() + L"\\version.txt", "2.4.0\r\n"));
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.appFolder() + L"\\TavrinAI.exe", "old program"));
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.modelFolder() + L"\\glintr100.onnx", "model"));
    const std::wstring dataFolder = attempt.profile() + L"\\.tavrin_ai";
    ASSERT_TRUE(testbed::WriteFileBytes(dataFolder + L"\\settings.json", "{}"));
    const LinkedFolder app = MakeLinkedFolder(attempt.scratch(), attempt.appFolder(), L"app");
    const LinkedFolder models = MakeLinkedFolder(attempt.scratch(), attempt.modelFolder(), L"models");
    const LinkedFolder data = MakeLinkedFolder(attempt.scratch(), dataFolder, L"data");
    ASSERT_FALSE(HasFailure());

    MessageTrace trace;
    ASSERT_TRUE(attempt.Run(trace)) << trace.Describe();

    for (const LinkedFolder* linked : {&app, &models, &data}) ExpectUntouched(*linked);
    EXPECT_EQ(FailureText(trace.events()), kOldInstallKept) << trace.Describe();
    EXPECT_TRUE(FileExists(app.link));
    EXPECT_EQ(ReadText(attempt.appFolder() + L"\\TavrinAI.exe"), "old program") << "the old app folder was cut";
    EXPECT_EQ(ReadText(attempt.appFolder() + L"\\version.txt"), "2.4.0\r\n");
    // What an update keeps, it keeps with its links.
    EXPECT_TRUE(FileExists(models.link));
    EXPECT_TRUE(FileExists(data.link));
    EXPECT_EQ(ReadText(dataFolder + L"\\settings.json"), "{}");
}

}  // namespace
