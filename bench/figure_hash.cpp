// Verification: HashFileSha256 (what VerifyPayload runs) against the bare BCrypt loop with the
// same 1 MiB buffer on the same file, read once beforehand so that both hash from memory.
#include "bench/bare_loops.h"
#include "bench/bench_clock.h"
#include "bench/figures.h"
#include "engine/payload.h"

#include <string>

int RunHashFigure(const wchar_t* path, int rounds) {
    const int64_t size = ReadWholeFile(path);
    if (size < 0) {
        EmitNote("cannot read " + Narrow(path));
        return 1;
    }
    EmitValue("hash.bytes", static_cast<double>(size));

    std::wstring firstDigest;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        // Alternate who goes first, so that drift over the run favours neither.
        const bool productFirst = round % 2 == 0;
        for (const bool product : {productFirst, !productFirst}) {
            std::wstring digest;
            const int64_t start = CounterNow();
            if (product) {
                wchar_t text[65] = {};
                if (HashFileSha256(path, text, 65)) digest = text;
            } else {
                digest = BareHash(path);
            }
            const double seconds = SecondsBetween(start, CounterNow());
            if (firstDigest.empty()) firstDigest = digest;
            if (digest.empty() || digest != firstDigest) {
                ++failures;
                EmitNote(std::string(product ? "product" : "bare") + " digest differs or is missing");
                continue;
            }
            EmitSample("hash", product ? "product" : "bare", seconds);
        }
    }
    EmitNote("sha256 " + Narrow(firstDigest));
    return failures == 0 ? 0 : 1;
}
