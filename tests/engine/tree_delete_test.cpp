// DeleteTree on the reparse points Windows has and the bed cannot make (presented through the
// interposer), on a listing that fails half-way, and on a tree thousands of folders deep. In
// every case the sentinel file beside the tree survives.
#include "engine/tree_delete.h"
#include "tests/support/interposer.h"
#include "tests/support/short_retry_bound.h"
#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using interposer::Interposer;
using interposer::Presentation;

struct Bed {
    std::wstring scratch = testbed::MakeScratchFolder(L"tree_delete");
    std::wstring tree = scratch + L"\\tree";
    std::wstring sentinel = scratch + L"\\sentinel.txt";
    Bed() {
        EXPECT_TRUE(testbed::WriteFileBytes(sentinel, "beside the tree"));
        EXPECT_TRUE(testbed::WriteFileBytes(tree + L"\\app\\TavrinAI.exe", "program"));
        EXPECT_TRUE(testbed::WriteFileBytes(tree + L"\\top.txt", "top"));
    }
};

struct ReparseCase {
    const char* name;
    const wchar_t* entry;  // below the tree; "folder\" makes an empty folder, else a file
    Presentation presentation;
    bool isLink;  // removed without being entered
};

// Each presented entry is a harmless stand-in in the bed: a link's removal acts on the stand-in.
const ReparseCase kReparseCases[] = {
    {"Junction", L"app\\linked\\", {FILE_ATTRIBUTE_REPARSE_POINT, interposer::JUNCTION_TAG}, true},
    {"SymbolicLinkToFile", L"app\\linked.txt", {FILE_ATTRIBUTE_REPARSE_POINT, interposer::SYMLINK_TAG}, true},
    {"ReadOnlyJunction",
     L"app\\linked\\",
     {FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY, interposer::JUNCTION_TAG},
     true},
    {"CloudPlaceholderFolder", L"app\\synced\\", {FILE_ATTRIBUTE_REPARSE_POINT, interposer::CLOUD_TAG}, false},
    {"DeduplicatedFile", L"app\\model.bin", {FILE_ATTRIBUTE_REPARSE_POINT, interposer::DEDUP_TAG}, false},
};

class ReparsePoints : public testing::TestWithParam<ReparseCase> {};

TEST_P(ReparsePoints, TreeGoneSentinelKept) {
    const ReparseCase& c = GetParam();
    Bed bed;
    std::wstring entry = bed.tree + L"\\" + c.entry;
    const bool folder = entry.back() == L'\\';
    if (folder) {
        entry.pop_back();
        ASSERT_TRUE(CreateDirectoryW(entry.c_str(), nullptr));
        // A cloud folder holds files of its own; a link's stand-in stays empty.
        if (!c.isLink) {
            ASSERT_TRUE(testbed::WriteFileBytes(entry + L"\\notes.txt", "synced"));
        }
    } else {
        ASSERT_TRUE(testbed::WriteFileBytes(entry, "stand-in"));
    }
    {
        Interposer calls;
        calls.Present(entry, c.presentation);
        DeleteTree(bed.tree.c_str());
        if (c.isLink && folder) {
            EXPECT_FALSE(calls.Entered(entry)) << "a link was entered";
        }
    }
    EXPECT_FALSE(testbed::FileExists(bed.tree));
    EXPECT_TRUE(testbed::FileExists(bed.sentinel));
}

INSTANTIATE_TEST_SUITE_P(Presented, ReparsePoints, testing::ValuesIn(kReparseCases),
                         [](const testing::TestParamInfo<ReparseCase>& info) { return info.param.name; });

TEST(TreeDelete, LinkAsTheTreeItselfIsRemovedNotEntered) {
    Bed bed;
    const std::wstring link = bed.scratch + L"\\link";
    ASSERT_TRUE(CreateDirectoryW(link.c_str(), nullptr));
    {
        Interposer calls;
        calls.Present(link, {FILE_ATTRIBUTE_REPARSE_POINT, interposer::JUNCTION_TAG});
        DeleteTree(link.c_str());
        EXPECT_FALSE(calls.Entered(link));
    }
    EXPECT_FALSE(testbed::FileExists(link));
    EXPECT_TRUE(testbed::FileExists(bed.tree + L"\\top.txt"));
}

// A listing that breaks off (a network folder gone, a device error) leaves the whole tree, since
// what was not seen may hold a link.
TEST(TreeDelete, FailedListingLeavesTheWholeTree) {
    for (const DWORD error : {DWORD{ERROR_NETNAME_DELETED}, DWORD{ERROR_ACCESS_DENIED}}) {
        Bed bed;
        {
            Interposer calls;
            calls.FailCall("FindNextFileW", 2, error);
            DeleteTree(bed.tree.c_str());
            EXPECT_GE(calls.Calls("FindNextFileW"), 2u);
        }
        EXPECT_TRUE(testbed::FileExists(bed.tree + L"\\app\\TavrinAI.exe")) << error;
        EXPECT_TRUE(testbed::FileExists(bed.tree + L"\\top.txt")) << error;
        EXPECT_TRUE(testbed::FileExists(bed.sentinel));
    }
}

// A tree deeper than 260 units, made in the bed through "\\?\" paths, goes whole. The bed cannot
// go much deeper: Wine maps the path onto a host path, which ends at 4,096 bytes (about 2,000
// levels), and making each level costs more the deeper it lies.
TEST(TreeDelete, TreeDeeperThanAPathIsDeleted) {
    Bed bed;
    std::wstring deep = L"\\\\?\\" + bed.tree;
    for (int level = 0; level < 200; ++level) {
        deep += L"\\d";
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << level;
    }
    ASSERT_GT(deep.size(), 400u);
    ASSERT_TRUE(testbed::WriteFileBytes(deep + L"\\bottom.txt", "deep"));
    DeleteTree(bed.tree.c_str());
    EXPECT_FALSE(testbed::FileExists(bed.tree));
    EXPECT_TRUE(testbed::FileExists(bed.sentinel));
}

// 4,000 levels, presented below a bed folder (deeper than the bed's host can hold), walked on a
// thread with Windows' usual 1 MiB stack: a walk that recursed per level would overflow it and
// end the process. Every level and the file at the bottom are removed, then the folder itself.
TEST(TreeDelete, TreeThousandsOfLevelsDeepIsDeletedWithoutRecursion) {
    Bed bed;
    const std::wstring top = bed.scratch + L"\\deep";
    ASSERT_TRUE(CreateDirectoryW(top.c_str(), nullptr));
    struct Work {
        const std::wstring* top;
        unsigned removals = 0;
        static DWORD WINAPI Run(void* parameter) {
            auto* work = static_cast<Work*>(parameter);
            Interposer calls;
            calls.PresentDeepFolder(*work->top, 4000);
            DeleteTree(work->top->c_str());
            work->removals = calls.VirtualRemovals();
            return 0;
        }
    } work{&top};
    HANDLE thread = CreateThread(nullptr, 1 << 20, &Work::Run, &work, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 120000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(work.removals, 4001u);  // 4,000 folders and the file
    EXPECT_FALSE(testbed::FileExists(top));
    EXPECT_TRUE(testbed::FileExists(bed.sentinel));
}

}  // namespace

namespace {

// Another process steers the walk: between the listing, which saw a plain folder, and the walk's
// entry into it, the folder is swapped for a junction to a folder outside. The walk confirms
// each folder through a handle on the entry itself before it lists it, so it neither enters the
// junction nor deletes anything through it. The swap comes right before the Delete pass opens
// the folder (the walk's fourth open: the tree, then the folder once per pass).
TEST(TreeDelete, AJunctionSwappedInAfterTheListingIsNeverEntered) {
    Bed bed;
    // The stand-in holds files, so its removal as a link is refused for good: a short bound.
    const ShortRetryBound shortBound;
    const std::wstring outside = bed.scratch + L"\\outside";
    ASSERT_TRUE(testbed::WriteFileBytes(outside + L"\\user.txt", "the user's"));
    bool swapped = false;
    {
        Interposer calls;
        calls.AtCall("CreateFileW", 4, [&] {
            calls.Present(bed.tree + L"\\app", {FILE_ATTRIBUTE_REPARSE_POINT, interposer::JUNCTION_TAG}, outside);
            swapped = true;
        });
        DeleteTree(bed.tree.c_str());
        EXPECT_TRUE(swapped);
        EXPECT_FALSE(calls.Entered(bed.tree + L"\\app"));
    }
    EXPECT_TRUE(testbed::FileExists(outside + L"\\user.txt"));
    // The stand-in was never entered: what it holds stays, and so does the tree around it.
    EXPECT_TRUE(testbed::FileExists(bed.tree + L"\\app\\TavrinAI.exe"));
    EXPECT_TRUE(testbed::FileExists(bed.sentinel));
}

// Another process would rename the folder the walk is in, or the tree itself, to put a junction
// in its place: on Windows neither can be renamed while the walk holds them open without delete
// sharing (Wine renames them anyway, so the test asks the interposer whether they are so held at
// that moment), and the walk deletes the tree whole and nothing else.
TEST(TreeDelete, FoldersOnTheWalksPathAreHeldAgainstRenames) {
    Bed bed;
    bool appHeld = false;
    bool treeHeld = false;
    {
        Interposer calls;
        // The Delete pass's listing of "app": the tree and "app" are on the walk's path.
        calls.AtCall("FindFirstFileW", 6, [&] {
            appHeld = calls.HeldAgainstRename(L"\\\\?\\" + bed.tree + L"\\app");
            treeHeld = calls.HeldAgainstRename(L"\\\\?\\" + bed.tree);
        });
        DeleteTree(bed.tree.c_str());
        EXPECT_EQ(calls.Calls("FindFirstFileW"), 6u);
    }
    EXPECT_TRUE(appHeld);
    EXPECT_TRUE(treeHeld);
    EXPECT_FALSE(testbed::FileExists(bed.tree));
    EXPECT_TRUE(testbed::FileExists(bed.sentinel));
}

// A read-only folder (folder customisation, attrib +r) goes: through the extended disposition,
// or where that is unknown, by clearing the attribute on that folder alone.
TEST(TreeDelete, AReadOnlyFolderIsRemoved) {
    for (const bool refuseExtended : {false, true}) {
        SCOPED_TRACE(refuseExtended ? "extended disposition unknown" : "extended disposition");
        Bed bed;
        ASSERT_TRUE(testbed::WriteFileBytes(bed.tree + L"\\custom\\desktop.ini", "[.ShellClassInfo]"));
        {
            Interposer calls;
            if (refuseExtended) calls.RefuseExtendedDisposition();
            calls.Present(bed.tree + L"\\custom", {FILE_ATTRIBUTE_READONLY, 0});
            DeleteTree(bed.tree.c_str());
        }
        EXPECT_FALSE(testbed::FileExists(bed.tree));
        EXPECT_TRUE(testbed::FileExists(bed.sentinel));
    }
}

// A read-only file with a second name outside the tree shares its attributes with that name:
// where the extended disposition is unknown, clearing them would change the file outside, so it
// stays, read-only, and so does its other name.
TEST(TreeDelete, AHardLinkedReadOnlyFileKeepsItsAttributes) {
    Bed bed;
    const std::wstring outside = bed.scratch + L"\\outside.txt";
    const std::wstring linked = bed.tree + L"\\app\\linked.txt";
    ASSERT_TRUE(testbed::WriteFileBytes(outside, "shared"));
    ASSERT_TRUE(CreateHardLinkW(linked.c_str(), outside.c_str(), nullptr));
    ASSERT_TRUE(SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_READONLY));
    {
        Interposer calls;
        calls.RefuseExtendedDisposition();
        DeleteTree(bed.tree.c_str());
    }
    EXPECT_EQ(GetFileAttributesW(outside.c_str()) & FILE_ATTRIBUTE_READONLY, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(testbed::FileExists(linked));
    EXPECT_FALSE(testbed::FileExists(bed.tree + L"\\top.txt"));
    std::string bytes;
    EXPECT_TRUE(testbed::ReadFileBytes(outside, bytes));
    EXPECT_EQ(bytes, "shared");
    SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesW(linked.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
