// Folder links inside what an update deletes or keeps: the app folder (replaced, then deleted),
// the model folder and the per-user data folder (kept), each holding a link to a folder outside
// with a file of the user's in it. The update must never delete through a link: the linked
// folders and their files stay as they were. The bed cannot delete a link as a link (testbed_test
// AHostLinkCannotBeDeletedAsALink), so the previous app folder, link and all, stays set aside
// for a later start, and the new app is in place. Windows can:
// the interposer presents a bed folder as the junction Windows would report, and the update
// removes it as a link, without entering it, and goes on (the uninstall's cases are in
// tests/uninstall/uninstall_link_test.cpp).
#include "engine/install_state.h"
#include "engine/install_worker.h"
#include "engine/owned.h"
#include "tests/support/attempt.h"
#include "tests/support/interposer.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/testbed.h"
#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

namespace {

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

// 2.4.1 published, 2.4.0 installed, no worker files left from an earlier attempt.
void PrepareUpdate(const AttemptScope& attempt, const ReleaseSite& site) {
    RemoveWorkerTempFiles();
    ASSERT_TRUE(site.Publish("2.4.1", MakeZip(AppEntries("2.4.1"))));
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.appFolder() + L"\\version.txt", "2.4.0\r\n"));
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.appFolder() + L"\\TavrinAI.exe", "old program"));
}

TEST(LinkUpdate, DeletesNothingThroughALink) {
    AttemptScope attempt(L"link_update");
    ReleaseSite site(L"robustness_link_update");
    ASSERT_NO_FATAL_FAILURE(PrepareUpdate(attempt, site));
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
    EXPECT_TRUE(Succeeded(trace.events())) << trace.Describe();
    EXPECT_EQ(ReadText(attempt.appFolder() + L"\\version.txt"), "2.4.1\r\n");
    // The previous app folder stays set aside whole: a tree with a link that cannot be deleted
    // as a link is not walked at all.
    const std::wstring aside = attempt.installDir() + L"\\" + ASIDE_FOLDER_NAME;
    EXPECT_EQ(ReadText(aside + L"\\TavrinAI.exe"), "old program");
    EXPECT_TRUE(FileExists(aside + L"\\linked"));
    // What an update keeps, it keeps with its links.
    EXPECT_TRUE(FileExists(models.link));
    EXPECT_TRUE(FileExists(data.link));
    EXPECT_EQ(ReadText(dataFolder + L"\\settings.json"), "{}");
}

// The empty bed folder that a presented junction stands in for, with its parents.
bool MakeStandIn(const std::wstring& junction) {
    return SHCreateDirectoryExW(nullptr, junction.c_str(), nullptr) == ERROR_SUCCESS;
}

// A junction in the app folder as Windows reports it (its stand-in, an empty bed folder, is what
// removing the link acts on), and one in each kept folder, beside a folder synced on demand: the
// update removes the app folder's junction as a link without entering it, deletes the synced
// folder like any other and installs the new version; the kept junctions stay.
TEST(LinkUpdate, AJunctionAsWindowsReportsItIsRemovedAsALinkAndTheUpdateGoesOn) {
    AttemptScope attempt(L"link_update_junction");
    ReleaseSite site(L"robustness_link_update_junction");
    ASSERT_NO_FATAL_FAILURE(PrepareUpdate(attempt, site));
    const std::wstring dataFolder = attempt.profile() + L"\\.tavrin_ai";
    const std::vector<std::wstring> junctions = {attempt.appFolder() + L"\\linked", attempt.modelFolder() + L"\\linked",
                                                 dataFolder + L"\\linked"};
    for (const std::wstring& junction : junctions) ASSERT_TRUE(MakeStandIn(junction));
    // And a folder synced on demand (a cloud placeholder): no link, deleted like any folder.
    const std::wstring synced = attempt.appFolder() + L"\\synced";
    ASSERT_TRUE(testbed::WriteFileBytes(synced + L"\\notes.txt", "synced"));

    MessageTrace trace;
    bool appJunctionEntered = true;
    ASSERT_TRUE(attempt.RunOnWorkerThread(trace, [&] {
        interposer::Interposer calls;
        for (const std::wstring& junction : junctions) {
            calls.Present(junction, {FILE_ATTRIBUTE_REPARSE_POINT, interposer::JUNCTION_TAG});
        }
        calls.Present(synced, {FILE_ATTRIBUTE_REPARSE_POINT, interposer::CLOUD_TAG});
        InstallWorker(nullptr);
        appJunctionEntered = calls.Entered(junctions[0]);
    })) << trace.Describe();

    EXPECT_TRUE(Succeeded(trace.events())) << trace.Describe();
    EXPECT_FALSE(appJunctionEntered);
    EXPECT_FALSE(FileExists(junctions[0]));
    EXPECT_FALSE(FileExists(synced));
    EXPECT_EQ(ReadText(attempt.appFolder() + L"\\version.txt"), "2.4.1\r\n");
    EXPECT_TRUE(FileExists(junctions[1]));
    EXPECT_TRUE(FileExists(junctions[2]));
}

}  // namespace
