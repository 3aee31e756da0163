// The release manifest from a broken or hostile server: hostile texts through the release check
// and whole attempts, and a bounded randomised run of generated and mutated manifests through
// ReadJsonString on buffers laid out as the release check lays out its own.
#include "engine/install_state.h"
#include "engine/json_string.h"
#include "engine/release_check.h"
#include "engine/release_host.h"
#include "tests/support/attempt.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr wchar_t kInvalid[] = L"버전 파일 형식 오류";

// --- The randomised run -----------------------------------------------------------------------

constexpr size_t kManifestBufferBytes = 16384;  // what the release check reads into: text + NUL
constexpr uint32_t kSeed = 20240611;
constexpr int kManifests = 4000;
constexpr size_t kGuardUnits = 16;
constexpr wchar_t kCanary = 0xBEEF;
constexpr wchar_t kPrefill = 0x03A9;
// Never produced by the generator: a unit 1 in a result can only come from reading past the NUL.
constexpr char kBeyondTheText = '\x01';

struct Field {
    const char* key;
    size_t capacity;
};
constexpr Field kFields[] = {{"url", 2048}, {"version", 32}, {"sha256", 80}};

class ManifestGenerator {
public:
    explicit ManifestGenerator(uint32_t seed) : random_(seed) {}

    // A manifest-like text: mostly the shape a server would send, with every way of going wrong.
    std::string Generate() {
        std::string text;
        if (Chance(10)) text += "\xEF\xBB\xBF";
        text += Chance(90) ? "{" : "";
        const int members = Pick(0, 6);
        for (int i = 0; i < members; ++i) {
            if (i > 0) text += Chance(90) ? "," : "";
            text += Whitespace();
            text += Key();
            text += Whitespace();
            text += Chance(92) ? ":" : "";
            text += Whitespace();
            text += Value();
        }
        if (Chance(85)) text += "}";
        return text;
    }

    // Cuts, NUL bytes, flipped or inserted bytes, and padding that puts a member across byte 16383.
    void Mutate(std::string& text) {
        const int mutations = Pick(0, 3);
        for (int i = 0; i < mutations; ++i) {
            const size_t at = text.empty() ? 0 : static_cast<size_t>(Pick(0, static_cast<int>(text.size())));
            switch (Pick(0, 6)) {
            case 0: text.resize(at); break;
            case 1: text.insert(at, 1, '\0'); break;
            case 2:
                if (at < text.size()) text[at] = AnyByte();
                break;
            case 3: text.insert(at, 1, AnyByte()); break;
            case 4: text.insert(at, text.substr(at, static_cast<size_t>(Pick(1, 64)))); break;
            case 5: text.erase(at, static_cast<size_t>(Pick(1, 16))); break;
            case 6: {
                // Padding before the text so that its end lands within a few bytes of the cut.
                const size_t end = kManifestBufferBytes - 1 + static_cast<size_t>(Pick(-24, 24));
                if (text.size() < end) text.insert(0, end - text.size(), Chance(50) ? ' ' : '\n');
                break;
            }
            }
        }
    }

private:
    bool Chance(int percent) { return Pick(1, 100) <= percent; }
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    char AnyByte() {
        char c;
        do {
            c = static_cast<char>(Pick(0, 255));
        } while (c == kBeyondTheText);
        return c;
    }

    // Appends instead of operator+, which trips a false -Wrestrict in this compiler.
    static std::string Enclosed(const char* open, const std::string& text, const char* close) {
        std::string out = open;
        out += text;
        out += close;
        return out;
    }
    static std::string Quoted(const std::string& text) { return Enclosed("\"", text, "\""); }

    std::string Whitespace() {
        static const char* const kinds[] = {"", "", " ", "\n  ", "\r\n\t", "   "};
        return kinds[Pick(0, 5)];
    }

    std::string Key() {
        static const char* const keys[] = {"url",  "version", "sha256", "URL", "Version", "sha",
                                           "note", "",        "url ",   "\"url\"", "urls"};
        return Quoted(keys[Pick(0, 10)]);
    }

    std::string Value() {
        switch (Pick(0, 9)) {
        case 0: return std::to_string(Pick(0, 100000));
        case 1: return "null";
        case 2: return Enclosed("{\"url\":\"", Text(), "\"}");
        case 3: return Enclosed("[\"", Text(), "\"]");
        case 4: return Text();  // without quotes
        default: return Quoted(Text());
        }
    }

    // A value's bytes: lengths around every capacity, huge members, keys inside values, escapes,
    // multi-byte and invalid UTF-8.
    std::string Text() {
        static const size_t lengths[] = {0, 1, 2, 5, 30, 31, 32, 33, 63, 64, 65, 79, 80, 81,
                                         2046, 2047, 2048, 2049, 5000, 16000};
        const size_t length = Chance(50) ? static_cast<size_t>(Pick(0, 40)) : lengths[Pick(0, 19)];
        if (Chance(30)) return Units(length);
        std::string text;
        while (text.size() < length) {
            switch (Pick(0, 12)) {
            case 0: text += "\xEA\xB0\x80"; break;          // U+AC00, three bytes, one unit
            case 1: text += "\xF0\x9F\x93\xB7"; break;      // U+1F4F7, four bytes, two units
            case 2: text += "\xC3\xA9"; break;              // two bytes, one unit
            case 3: text += "\xFF"; break;                  // never valid in UTF-8
            case 4: text += "\xC3"; break;                  // a lead byte without its tail
            case 5: text += "\xED\xA0\x80"; break;          // an encoded surrogate
            case 6: text += "\\\""; break;                  // an escaped quote
            case 7: text += "\\/"; break;
            case 8: text += "\"url\":\""; break;            // a key inside a value
            case 9: text += ":"; break;
            default: text += static_cast<char>(Pick('!', '~')); break;
            }
        }
        return text;
    }

    // Exactly `count` UTF-16 units of valid UTF-8, one, two and three bytes a unit: values that
    // meet a capacity exactly.
    std::string Units(size_t count) {
        static const char* const units[] = {"a", "7", ".", "\xC3\xA9", "\xEA\xB0\x80", "\xED\x9E\xA3"};
        std::string text;
        for (size_t i = 0; i < count; ++i) text += units[Pick(0, 5)];
        return text;
    }

    std::mt19937 random_;
};

// The release check's buffer: at most 16383 bytes of the file, then a NUL. Everything after the
// NUL, the rest of the buffer (where an earlier, longer manifest would have left its bytes) and
// the memory beyond it, holds members that a reader running past the NUL would pick up.
struct ManifestBuffer {
    explicit ManifestBuffer(const std::string& file) : bytes(kManifestBufferBytes + 4096, kBeyondTheText) {
        const size_t length = std::min(file.size(), kManifestBufferBytes - 1);
        std::memcpy(bytes.data(), file.data(), length);
        bytes[length] = '\0';
        const std::string junk = std::string("\"url\":\"") + kBeyondTheText + "\",\"version\":\"" + kBeyondTheText +
                                 "\",\"sha256\":\"" + kBeyondTheText + "\"";
        for (size_t at = length + 1; at + junk.size() <= bytes.size(); at += junk.size()) {
            std::memcpy(bytes.data() + at, junk.data(), junk.size());
        }
    }
    const char* text() const { return bytes.data(); }
    std::vector<char> bytes;
};

// Where the value for key lies by the documented rule, read from the text up to its NUL: the
// first quoted key anywhere, the next colon, and the bytes between the next two quotes.
bool LocateValue(std::string_view text, const char* key, std::string_view& value) {
    std::string pattern = "\"";
    pattern += key;
    pattern += '"';
    const size_t keyAt = text.find(pattern);
    if (keyAt == std::string_view::npos) return false;
    const size_t colon = text.find(':', keyAt + pattern.size());
    if (colon == std::string_view::npos) return false;
    const size_t opening = text.find('"', colon);
    if (opening == std::string_view::npos) return false;
    const size_t closing = text.find('"', opening + 1);
    if (closing == std::string_view::npos) return false;
    value = text.substr(opening + 1, closing - opening - 1);
    return true;
}

std::wstring DecodeUtf8(std::string_view bytes) {
    if (bytes.empty()) return L"";
    const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), units);
    return out;
}

// One call on a guarded out buffer; a message describing the first broken promise, or "".
std::string CheckOneRead(const ManifestBuffer& buffer, const Field& field) {
    std::vector<wchar_t> storage(kGuardUnits + field.capacity + kGuardUnits, kCanary);
    wchar_t* out = storage.data() + kGuardUnits;
    std::fill(out, out + field.capacity, kPrefill);

    const bool found = ReadJsonString(buffer.text(), field.key, out, field.capacity);

    const auto canary = [](wchar_t unit) { return unit == kCanary; };
    if (!std::all_of(storage.begin(), storage.begin() + kGuardUnits, canary)) return "wrote before the buffer";
    if (!std::all_of(storage.end() - kGuardUnits, storage.end(), canary)) return "wrote past the capacity";
    const bool untouched = std::all_of(out, out + field.capacity, [](wchar_t unit) { return unit == kPrefill; });
    const bool emptied = out[0] == L'\0';

    std::string_view located;
    if (!LocateValue(std::string_view(buffer.text()), field.key, located)) {
        if (found || !untouched) return "no value in the text, yet the buffer was used";
        return "";
    }
    const std::wstring expected = DecodeUtf8(located);
    if (!expected.empty() && expected.size() < field.capacity) {
        if (!found) return "a value that fits was refused";
        const size_t units = wcsnlen(out, field.capacity);
        if (units == field.capacity) return "no terminator";
        if (std::wstring(out, units).find(L'\x01') != std::wstring::npos) return "read past the NUL";
        if (std::wstring(out, units) != expected) return "another value than the text holds";
        return "";
    }
    if (found) return "an empty or oversized value was reported found";
    if (!emptied) return "an empty or oversized value did not empty the buffer";
    return "";
}

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text.substr(0, 300)) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + (text.size() > 300 ? "... (" + std::to_string(text.size()) + " bytes)" : "");
}

// A fixed seed and a fixed number of manifests: the same texts on every run.
TEST(ManifestFuzz, ReadJsonStringKeepsItsContract) {
    ManifestGenerator generator(kSeed);
    int failures = 0;
    for (int i = 0; i < kManifests && failures < 10; ++i) {
        std::string file = generator.Generate();
        generator.Mutate(file);
        const ManifestBuffer buffer(file);
        for (const Field& field : kFields) {
            const std::string broken = CheckOneRead(buffer, field);
            if (broken.empty()) continue;
            ++failures;
            ADD_FAILURE() << "manifest " << i << ", key " << field.key << ": " << broken << "\n  "
                          << Printable(file);
        }
    }
}

// --- Hostile texts through the release check ------------------------------------------------

constexpr char kPngHeader[] = "\x89PNG\r\n\x1A\n\0\0\0\rIHDR\"\":\"";

std::string Utf16Le(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

// A manifest whose member `name` has its value's closing quote at byte index `quoteIndex`.
std::string MemberEndingAt(size_t quoteIndex, const std::string& head, const std::string& name,
                           const std::string& value) {
    const std::string member = ",\"" + name + "\":\"" + value + "\"";
    const std::string pad = R"(,"pad":")";
    const size_t fill = quoteIndex + 1 - head.size() - pad.size() - 1 - member.size();
    return head + pad + std::string(fill, '.') + "\"" + member + "}";
}

TEST(HostileManifest, ReleaseCheckReadsOrRefusesIt) {
    const std::string head = R"({"url":"https://h/p.zip","version":"2.4.1")";
    const std::string digest(64, 'a');
    struct Case {
        const char* name;
        std::string manifest;
        bool valid;
        std::wstring url, version, sha256;  // when valid
    } const cases[] = {
        {"invalid UTF-8 becomes replacement characters", R"({"url":"https://h/p.zip","version":"2.4.)" "\xFF\"}",
         true, L"https://h/p.zip", L"2.4.\xFFFD", L""},
        {"a lone continuation byte is a version of its own", R"({"url":"u","version":")" "\x80\"}", true, L"u",
         L"\xFFFD", L""},
        {"a version that is itself a key name", R"({"version":"url","url":"https://h/p.zip"})", true,
         L"https://h/p.zip", L"url", L""},
        {"an escaped key inside a value is no member",
         R"({"note":"a \"url\":\"https://evil/x.zip\" here","url":"https://h/p.zip","version":"2.4.1"})", true,
         L"https://h/p.zip", L"2.4.1", L""},
        {"truncated in the middle of the version", R"({"url":"https://h/p.zip","version":"2.4)", false, L"", L"", L""},
        {"truncated right after the url", R"({"url":"https://h/p.zip")", false, L"", L"", L""},
        {"a NUL inside the url", std::string(R"({"version":"1","url":"ab)") + '\0' + R"(cd"})", false, L"", L"", L""},
        {"every key missing", R"({"name":"Tavrin AI","build":7,"files":["a","b"]})", false, L"", L"", L""},
        {"keys in another case", R"({"URL":"https://h/p.zip","VERSION":"2.4.1"})", false, L"", L"", L""},
        {"a UTF-16 manifest", Utf16Le(R"({"url":"https://h/p.zip","version":"2.4.1"})"), false, L"", L"", L""},
        {"a huge member before the keys", R"({"pad":")" + std::string(20000, 'x') + "\"," + head.substr(1) + "}",
         false, L"", L"", L""},
        {"the keys before a huge member", head + R"(,"pad":")" + std::string(1 << 20, 'x') + "\"}", true,
         L"https://h/p.zip", L"2.4.1", L""},
        // Its key is read but its value is not: a digest that is there never passes for none.
        {"a sha256 across byte 16383", MemberEndingAt(16383, head, "sha256", digest), false, L"", L"", L""},
        {"a sha256 ending on byte 16382", MemberEndingAt(16382, head, "sha256", digest), true, L"https://h/p.zip",
         L"2.4.1", std::wstring(64, L'a')},
        {"binary noise", std::string(kPngHeader, sizeof kPngHeader - 1), false, L"", L"", L""},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetInstallState();
        MessageTrace trace;
        ReleaseSite site(L"robustness_manifest_" + std::to_wstring(index++));
        ASSERT_TRUE(site.PutManifest(c.manifest));
        wcscpy_s(installState.installDir, testbed::MakeScratchFolder(L"manifest_check").c_str());
        wchar_t error[256] = {};
        StageResult result = StageResult::Skipped;
        ASSERT_TRUE(trace.RunOnThread([&] { result = RunReleaseCheck(error); }));

        EXPECT_EQ(result, c.valid ? StageResult::Continue : StageResult::Failed);
        EXPECT_EQ(std::wstring(error), c.valid ? L"" : kInvalid) << Narrow(error);
        if (c.valid) {
            EXPECT_EQ(std::wstring(installState.releaseUrl), c.url) << Narrow(installState.releaseUrl);
            EXPECT_EQ(std::wstring(installState.releaseVersion), c.version) << Narrow(installState.releaseVersion);
            EXPECT_EQ(std::wstring(installState.releaseSha256), c.sha256);
        }
        EXPECT_FALSE(FileExists(TempFilePath(MANIFEST_TEMP_NAME)));
    }
}

// Whole attempts: a broken manifest or a broken answer to its request ends in exactly one
// failure text; a usable one goes on to the payload download (whose URL here leads nowhere
// useful, so that each attempt ends there).
TEST(HostileManifest, WorkerEndsInExactlyOneFailureOrGoesOn) {
    const std::wstring proceed = L"v2.4.1 내려받는 중...";
    struct Case {
        const char* name;
        std::wstring fault;    // how the host serves the manifest; "" = as it is
        std::string manifest;  // "<payload>" stands for the site's payload URL
        std::wstring failure;
        bool goesOn;
    } const cases[] = {
        {"server error", L"status=500", "", L"서버 응답 500", false},
        {"cut after 10 bytes", L"short=10", R"({"url":"<payload>","version":"2.4.1"})", L"다운로드가 중간에 끊겼습니다",
         false},
        {"reset after 10 bytes", L"drop=10", R"({"url":"<payload>","version":"2.4.1"})", L"다운로드가 중간에 끊겼습니다",
         false},
        {"without a length", L"nolength", R"({"url":"<payload>","version":"2.4.1"})", L"서버 응답 404", true},
        {"an empty manifest", L"", "", kInvalid, false},
        {"every key missing", L"", R"({"name":"Tavrin AI"})", kInvalid, false},
        {"an empty url", L"", R"({"url":"","version":"2.4.1"})", kInvalid, false},
        {"a url that is no URL", L"", R"({"url":"not a url","version":"2.4.1"})", L"주소 해석 실패", true},
        {"a url of another scheme", L"", R"({"url":"ftp://localhost/p.zip","version":"2.4.1"})", L"주소 해석 실패",
         true},
        {"a host name of 300 characters", L"",
         R"({"url":"https://)" + std::string(300, 'h') + R"(/p.zip","version":"2.4.1"})", L"주소 해석 실패", true},
        {"a url of invalid UTF-8", L"", R"({"url":"https://localhost:1/)" "\xFF\xFE" R"(","version":"2.4.1"})",
         L"서버에 연결할 수 없습니다 (인터넷 연결 확인)", true},
        {"a manifest of 1 MiB", L"",
         R"({"url":"<payload>","version":"2.4.1","pad":")" + std::string(1 << 20, 'p') + "\"}", L"서버 응답 404",
         true},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AttemptScope attempt(L"manifest_worker");
        RemoveWorkerTempFiles();
        MessageTrace trace;
        ReleaseSite site(L"robustness_manifest_worker_" + std::to_wstring(index++));
        std::string manifest = c.manifest;
        const size_t placeholder = manifest.find("<payload>");
        if (placeholder != std::string::npos) manifest.replace(placeholder, 9, site.PayloadUrl());  // not published
        ASSERT_TRUE(site.PutManifest(manifest));
        if (!c.fault.empty()) {
            wcsncpy_s(manifestUrl, site.FaultUrl(c.fault, MANIFEST_URL_PATH).c_str(), _TRUNCATE);
        }

        ASSERT_TRUE(attempt.Run(trace, 60000)) << trace.Describe();
        EXPECT_EQ(FailureText(trace.events()), c.failure) << trace.Describe();
        EXPECT_EQ(Posted(trace.events(), proceed), c.goesOn) << trace.Describe();
        EXPECT_FALSE(FileExists(attempt.appFolder()));
    }
}

}  // namespace
