// A stand-in for the system's tar.exe in the test prefix: Wine ships none. It understands what
// the setup program asks of it, `tar -xf ARCHIVE -C DIR` on a zip archive, and behaves as bsdtar
// does there: the same refusals, exit code 0 only when every entry was extracted, a short
// message on stderr for each problem. Options may be bundled ("-xf") or separate ("-x -f"), a
// value may follow its letter directly ("-fARCHIVE"), and -C may come before -x.
#include "tools/tar/extract_tree.h"
#include "tools/tar/zip_archive.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Options {
    bool extract = false;
    std::wstring archive;
    std::wstring directory = L".";
};

void Usage() {
    std::fprintf(stderr, "Usage: tar -xf ARCHIVE [-C DIR]\n");
}

// Reads bsdtar-style options; returns false (after a message) on anything else.
bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    bool haveArchive = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring_view word = argv[i];
        if (word.size() < 2 || word[0] != L'-' || word[1] == L'-') {
            std::fprintf(stderr, "tar: unexpected argument (member selection is not supported)\n");
            return false;
        }
        for (size_t at = 1; at < word.size(); ++at) {
            wchar_t letter = word[at];
            if (letter == L'x') {
                options.extract = true;
                continue;
            }
            if (letter != L'f' && letter != L'C') {
                std::fprintf(stderr, "tar: unsupported option -%lc\n", static_cast<wint_t>(letter));
                return false;
            }
            std::wstring value;
            if (at + 1 < word.size()) {
                value = word.substr(at + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                std::fprintf(stderr, "tar: option -%lc needs a value\n", static_cast<wint_t>(letter));
                return false;
            }
            (letter == L'f' ? options.archive : options.directory) = value;
            haveArchive = haveArchive || letter == L'f';
            break;
        }
    }
    if (!options.extract || !haveArchive) {
        Usage();
        return false;
    }
    return true;
}

// Extracts every entry it can; returns false when any entry failed or the archive broke off.
bool ExtractAll(const ZipFile& zip, const std::vector<ZipEntry>& entries, const std::wstring& root) {
    bool allGood = true;
    for (const ZipEntry& entry : entries) {
        ExtractResult result = ExtractEntry(zip, entry, root);
        if (result == ExtractResult::archiveBroken) return false;
        allGood = allGood && result == ExtractResult::done;
    }
    return allGood;
}

int Run(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) return 1;
    ZipFile zip;
    if (!OpenZip(options.archive.c_str(), zip)) {
        std::fprintf(stderr, "tar: Error opening archive: Failed to open '%ls' (error %lu)\n",
                     options.archive.c_str(), GetLastError());
        return 1;
    }
    std::vector<ZipEntry> entries;
    std::string error;
    if (!ReadCentralDirectory(zip, entries, error)) {
        std::fprintf(stderr, "tar: Error opening archive: %s\n", error.c_str());
        return 1;
    }
    std::wstring root;
    if (!ResolveTargetRoot(options.directory.c_str(), root)) {
        std::fprintf(stderr, "tar: could not chdir to '%ls'\n", options.directory.c_str());
        return 1;
    }
    if (!ExtractAll(zip, entries, root)) {
        std::fprintf(stderr, "tar: Error exit delayed from previous errors.\n");
        return 1;
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    return Run(argc, argv);
}
